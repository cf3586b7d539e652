// libcurl and OpenSSL take locks of their own inside their calls, and OpenSSL 3 does nothing
// about them at a fork: a child forked while a transfer thread of the parent held one waits for
// it forever in its first handshake. The gate keeps every such call out of the way of a fork:
// transfers pass it for each short libcurl step (never for a wait on the network), and a fork
// closes it, waiting for the steps in progress, and holds it until the fork is done.
#pragma once

namespace ksrn::net::curl {

// Holds the gate open for one libcurl step. Never nested on one thread: a fork waiting to close
// the gate would wait for the outer step while the inner one waits for the fork.
class LibcurlStep {
 public:
  LibcurlStep();
  ~LibcurlStep();
  LibcurlStep(const LibcurlStep&) = delete;
  LibcurlStep& operator=(const LibcurlStep&) = delete;
};

// In the forking thread: closes the gate once the steps in progress are over, and keeps it
// closed, its lock held, until OpenAfterFork, which runs in the parent and in the child.
void CloseForFork();
void OpenAfterFork(bool inChild);

}  // namespace ksrn::net::curl
