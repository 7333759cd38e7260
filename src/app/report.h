// The run report: one self-contained HTML page (no scripts or styles from elsewhere, opens
// from a file: URL) with the run's figures, charts of contacts per MCL and of records per
// data set, searchable tables of the three data sets and, for each record, what the
// provenance recorder heard about it. The page is a fixed template with the data embedded
// as JSON; the page draws everything itself.
#pragma once

#include <map>
#include <string>

#include "app/explain.h"
#include "platform/common/status.h"

namespace testqav {

// The page for a run whose dumps (by file name) and decisions are given.
std::string RenderReport(const ProvenanceRecorder& recorder,
                         const std::map<std::string, std::string>& dumps);

// Writes the page to `path` (replacing it through a temporary file beside it).
Status WriteReport(const std::string& path, const ProvenanceRecorder& recorder,
                   const std::map<std::string, std::string>& dumps);

}  // namespace testqav
