// The entry of the headless mode: mirelo-downloader with its own options (--list, --download ...,
// --help, --version) runs without a window; see download/ModoTexto.h. Call from main() before any
// QApplication exists, on the main thread.
#pragma once

// Whether the command line asks for the headless mode (one of its own options comes first);
// otherwise the window starts and Qt takes its own arguments.
bool WantsHeadless(int argc, char** argv);

// Returns the process's exit status.
int RunHeadless(int argc, char** argv);
