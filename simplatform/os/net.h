// The socket layer, all of it, for the parts that use several of its
// pieces: sockets (socket.h), addresses from text (address.h), local
// sockets (localsocket.h, POSIX only) and batches of datagrams
// (datagrambatch.h).
#pragma once

#include "address.h"
#include "datagrambatch.h"
#include "localsocket.h"
#include "socket.h"
