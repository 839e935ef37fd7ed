// Opens a pre-permitted ScreenCast pick through the portal, as the helper
// does, and runs a peer pipeline on its PipeWire node. The session lives as
// long as the peer.
//
//   fenwright_portal_peer TOKEN (window|monitor) PROGRAM [ARG...]
//
// "{fd}" and "{node}" in the arguments become the PipeWire remote's
// descriptor and the stream's node. Says "peer <pid> <width>x<height>" on
// stderr once the peer runs (stdout is the peer's, for its frames); SIGTERM
// or SIGINT stop the peer, then this.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/wayland/portal_session.h"

namespace {

std::atomic<int> stopSignal{0};

void onStop(int signal) { stopSignal = signal; }

std::string substituted(std::string arg, const std::string& key, const std::string& value) {
  for (auto at = arg.find(key); at != std::string::npos; at = arg.find(key, at + value.size()))
    arg.replace(at, key.size(), value);
  return arg;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace fenwright::wayland;
  if (argc < 4) {
    std::fprintf(stderr, "usage: fenwright_portal_peer TOKEN (window|monitor) PROGRAM [ARG...]\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = onStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  PortalRequest request;
  request.source = std::string(argv[2]) == "monitor" ? PortalSource::monitor : PortalSource::window;
  request.restoreToken = argv[1];
  auto session = PortalSession::open(request);
  if (!session) {
    std::fprintf(stderr, "fenwright_portal_peer: %s\n", session.error().c_str());
    return 1;
  }
  // Handed to the peer, so it must survive exec; it is closed here after.
  fenwright::UniqueFd remote = (*session)->takeRemote();
  const int fd = ::dup(remote.get());
  if (fd < 0) return 1;
  fenwright::UniqueFd inherited(fd);

  std::vector<std::string> args;
  for (int i = 3; i < argc; ++i)
    args.push_back(substituted(substituted(argv[i], "{fd}", std::to_string(fd)), "{node}",
                               std::to_string((*session)->nodeId())));
  std::vector<char*> peerArgv;
  for (auto& arg : args) peerArgv.push_back(arg.data());
  peerArgv.push_back(nullptr);

  const pid_t peer = ::fork();
  if (peer == 0) {
    ::execvp(peerArgv[0], peerArgv.data());
    _exit(127);
  }
  if (peer < 0) return 1;
  inherited = fenwright::UniqueFd();
  std::fprintf(stderr, "peer %d %dx%d\n", peer, (*session)->width(), (*session)->height());

  int status = 0;
  bool stopping = false;
  while (::waitpid(peer, &status, WNOHANG) == 0) {
    if (stopSignal != 0 && !stopping) {
      ::kill(peer, SIGTERM);
      stopping = true;
    }
    pollfd bus{(*session)->descriptor(), POLLIN, 0};
    if (::poll(&bus, 1, 100) > 0 && !(*session)->process()) {
      std::fprintf(stderr, "fenwright_portal_peer: the portal closed the session\n");
      ::kill(peer, SIGTERM);
      stopping = true;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
