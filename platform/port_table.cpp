#include "platform/port_table.h"
