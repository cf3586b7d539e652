/* A host that leaves with transfers still running and never calls KSRN_Shutdown: it returns
   from main (exit handlers run) while the workers are in handshakes and bodies. The process must
   end cleanly, never with a crash in a worker. Each round is a child process, so the library is
   loaded afresh; the moment of exit moves through the transfers' stages. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "ksrn_host.h"

enum { kRounds = 30, kTransfers = 8 };

static int RunHost(int round) {
  KsrnApi api;
  if (!KsrnLoad(&api, NULL) || api.Init(KSRN_ABI_VERSION) != 1) {
    return 2;
  }
  KSRN_CHAR url[128];
  KsrnWiden(url, 128, "https://api.kraken.com/slow-body/100000/100/1");
  for (int i = 0; i < kTransfers; ++i) {
    if (api.Get(url, 60000) == 0) {
      return 3;
    }
  }
  KsrnSleepMs(round % 20);
  return 0; /* exit with everything running */
}

int main(void) {
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      exit(RunHost(round));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
      printf("round %d: no child\n", round);
      return 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      printf("round %d: host ended with %s %d\n", round, WIFSIGNALED(status) ? "signal" : "status",
             WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
      ++failed;
    }
  }
  printf("%d passed, %d failed\n", kRounds - failed, failed);
  return failed == 0 ? 0 : 1;
}
