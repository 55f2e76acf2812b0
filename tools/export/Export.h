#pragma once

// sitemora-export: writes a catalogue out as JSON, CSV or a browser bookmark file.
namespace Export {

// Runs the program on its command line and returns the exit status.
int Run(int argc, char** argv);

} // namespace Export
