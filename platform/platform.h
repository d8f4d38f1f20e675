/* Everything the program uses of its host platform. */
#ifndef KELVOROV_PLATFORM_PLATFORM_H
#define KELVOROV_PLATFORM_PLATFORM_H

#include "files.h"
#include "ovsnmp.h"
#include "ovw.h"
#include "sockets.h"
#include "winmsg.h"

#endif
