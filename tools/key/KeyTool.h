#pragma once

// sitemora-key [--catalogue FILE | --user-catalogue] [--passphrase-fd N] [--old-backups WHAT]
//              encrypt | change | decrypt | encrypt-backups
namespace KeyTool {

// The whole tool, once a QCoreApplication exists; returns the exit status.
int Run(int argc, char** argv);

} // namespace KeyTool
