#include "platform/winsock.h"
