// Interruptions: SIGINT, SIGTERM and SIGHUP end the program as they normally
// would (the shell sees status 128 + the signal's number), after removing the
// temporary output file if one is being written, so that an interrupted run
// leaves nothing behind.
#pragma once

#include <csignal>

namespace codebook_app {

// Installs the handlers. A signal the program was started with ignored
// (nohup, background jobs) stays ignored. SIGXFSZ is ignored, so that a file
// size limit makes the write fail with a message instead of killing the
// program with the temporary file in place.
void InstallSignalHandlers();

// Blocks the three signals in the calling thread while alive, so that a
// temporary file is never created, renamed or removed unregistered.
class SignalsBlocked {
 public:
  SignalsBlocked();
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t fOld;
};

// The file the handlers remove (a copy is kept; at most PATH_MAX bytes);
// null stops removing it. Call while SignalsBlocked.
void SetTemporaryFile(const char* path);

}  // namespace codebook_app
