// Advert breaks for quorin-cli: the search with progress on stderr, its lines and JSON, and the
// marks a rip asks for (--mark-breaks, --library).
#pragma once

#include "breaks/break_search.h"
#include "rip/rip_run.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace quorin::cli {

// Breaks found with this confidence or more are marked in a rip's outputs.
inline constexpr double kMarkConfidence = 0.5;

// The search on a worker thread, its progress on stderr as a rip's video stage (none when quiet);
// Ctrl-C cancels it.
BreakSearchReport SearchBreaks(const CPVRFile& clip, const BreakSearchOptions& options, bool quiet);

// Searches the clip and puts the breaks worth marking into the request (listed in marked, those
// that reach into its cut). A search that finds nothing leaves no breaks; one that fails says why
// on stderr and leaves the request without marks. False when Ctrl-C cancelled it.
[[nodiscard]] bool MarkBreaks(const CPVRFile& clip, RipRequest& request, bool quiet,
                              std::vector<breaks::Break>& marked);

// "break<TAB>FROM<TAB>TO<TAB>CONFIDENCE" per break on stdout, the times as --begin takes them.
void PrintBreaks(const std::vector<breaks::Break>& found);
// [{"from":s,"to":s,"confidence":c,"signals":[...]}]
nlohmann::ordered_json BreaksArray(const std::vector<breaks::Break>& found);

} // namespace quorin::cli
