// The entry of the headless mode: mirelo-downloader with arguments (--list, --download ...,
// --help) runs without a window; see download/ModoTexto.h. Call from main() before any
// QApplication exists, on the main thread.
#pragma once

// Returns the process's exit status.
int RunHeadless(int argc, char** argv);
