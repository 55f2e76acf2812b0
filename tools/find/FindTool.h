#pragma once

// sitemora-find [--catalogue FILE] [--json] TEXT...: the sites whose texts hold every
// TEXT, one line each. Exits as grep does: 0 when something was found, 1 when nothing,
// 2 on wrong usage or any failure.
namespace FindTool {

int Run(int argc, char** argv);

} // namespace FindTool
