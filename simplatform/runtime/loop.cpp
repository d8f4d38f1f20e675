// The message loop's calls that both backends share.
#include "loop.h"

#include <utility>

namespace simplatform {

void watchSocket(Socket s, std::function<void()> onReadable)
{
    SocketHandlers handlers = watchedHandlers(s);
    handlers.onReadable = std::move(onReadable);
    replaceWatch(s, std::move(handlers));
}

void watchSocketWritable(Socket s, std::function<void()> onWritable)
{
    SocketHandlers handlers = watchedHandlers(s);
    handlers.onWritable = std::move(onWritable);
    replaceWatch(s, std::move(handlers));
}

void unwatchSocket(Socket s)
{
    replaceWatch(s, SocketHandlers{});
}

void closeSocket(Socket s)
{
    unwatchSocket(s);
    closeUnwatched(s);
}

}  // namespace simplatform
