#include "platform/serial_comm.h"
