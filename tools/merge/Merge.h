#pragma once

// sitemora-import --merge IN: appends Sitemora's own JSON export or a browser's bookmark
// file to an existing catalogue, all in one transaction.
namespace Merge {

// Whether the command line asks for a merge (--merge IN or --merge=IN).
bool Wanted(int argc, char** argv);

// Runs the merge on the whole command line ([--catalogue FILE] --merge IN) and returns
// the exit status.
int Run(int argc, char** argv);

} // namespace Merge
