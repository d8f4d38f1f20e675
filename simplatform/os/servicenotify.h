// Tells a service manager (systemd's Type=notify) how the platform is doing,
// through the datagram socket named in $NOTIFY_SOCKET. Without that variable
// nothing is sent. POSIX only: the POSIX loop calls it.
#pragma once

namespace simplatform {

// Called by the message loop each time it is about to wait. The first call
// sends READY=1 and arranges for STOPPING=1 to be sent when the process
// exits, however it exits normally (return from main or exit()).
void notifyServiceReady();

}  // namespace simplatform
