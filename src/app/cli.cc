#include "app/cli.h"

namespace testqav {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  size_t i = 0;
  if (!args.empty() &&
      (args[0] == "search" || args[0] == "resolve" || args[0] == "merge" || args[0] == "explain")) {
    cl.command = args[0] == "search"    ? CommandLine::Command::kSearch
                 : args[0] == "resolve" ? CommandLine::Command::kResolve
                 : args[0] == "explain" ? CommandLine::Command::kExplain
                                        : CommandLine::Command::kMerge;
    i = 1;
  }
  std::vector<std::string> positional;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      cl.command = CommandLine::Command::kHelp;
      return cl;
    }
    if (a == "--version") {
      cl.command = CommandLine::Command::kVersion;
      return cl;
    }
    if (a == "--no-wait") {
      cl.no_wait = true;
    } else if (a == "--json" && cl.command == CommandLine::Command::kExplain) {
      cl.json = true;
    } else if (a == "--report" && cl.command == CommandLine::Command::kRun) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        cl.error = "--report needs a file";
        return cl;
      }
      cl.report = args[++i];
    } else if (a == "--recordset") {
      const std::string kind = i + 1 < args.size() ? args[++i] : std::string();
      if (kind != "indexed" && kind != "reference") {
        cl.error = "--recordset needs indexed or reference";
        return cl;
      }
      cl.reference_recordsets = kind == "reference";
    } else if (a == "--host") {
      if (i + 1 >= args.size()) {
        cl.error = "--host needs a folder";
        return cl;
      }
      cl.host_dir = args[++i];
    } else if (a.rfind("--host=", 0) == 0) {
      cl.host_dir = a.substr(7);
    } else if (a == "--") {
      for (++i; i < args.size(); ++i) positional.push_back(args[i]);
    } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
      cl.error = "unknown option " + a;
      return cl;
    } else {
      positional.push_back(a);
    }
  }
  if (cl.command == CommandLine::Command::kRun || cl.command == CommandLine::Command::kMerge) {
    if (!positional.empty()) cl.error = "unexpected argument " + positional[0];
  } else if (positional.size() != 1) {
    cl.error = cl.command == CommandLine::Command::kSearch ? "search needs exactly one command text"
               : cl.command == CommandLine::Command::kExplain ? "explain needs exactly one name"
                                                              : "resolve needs exactly one name";
  } else {
    cl.argument = positional[0];
  }
  return cl;
}

std::string UsageText() {
  return R"(Usage:
  testqav [--host DIR] [--no-wait] [--report FILE.html] [--recordset KIND]
      Performs one update run of the QAV contact data-set engine. DIR (default: the
      program's folder) holds registry.reg, exchange/<server>/... and receives TestQAV.log
      and the CSV dumps QAV-1.csv, QAV-GAL.csv and SourceMCL-1.csv (put in place when the
      run completes). With --report, a completed run also writes one self-contained HTML
      page: the run's figures, charts, searchable tables of the three data sets and each
      record's provenance; the run's dumps, log and mailbox are the same as without it.
  testqav merge [--host DIR] [--no-wait]
      Merges the agent's contact repository: the Master Contact Repository folder, then
      each active Alternate Contact Folder in trust order, into Merge-1.csv (one record
      per contact, the most trusted folder first). The update run never does this.
  testqav search [--host DIR] COMMAND_TEXT
      Runs a directory command text "<GC://base>;filter;attributes;scope" through the
      configured directory and prints the rows as LDIF.
  testqav resolve [--host DIR] NAME
      Resolves NAME as the run's address look-ups do and prints the entry's properties.
  testqav explain [--host DIR] [--json] ADDRESS_OR_NAME
      Performs the update run without changing anything (the mailbox, the log and the
      dumps stay as they were) and tells why the person or list named is where the run
      puts it: the registration that made its record and those skipped, the fields the
      GAL filled, every MCL that reaches it and the path of lists from the MCL to it,
      those MCLs' targets, and the contacts of the MCLs that target it. The name is
      matched, ignoring case, against every SMTP address, display name and Exchange DN.
  testqav --help | --version

Options:
  --host DIR   the host folder (plays the Windows machine's part)
  --no-wait    do not wait for Enter after the "Complete" notice (also the default when
               standard input is not a terminal)
  --json       explain: print JSON instead of text
  --report FILE.html
               the update run: also write the run report to FILE.html
  --recordset indexed|reference
               the record sets of the data sets and of the directory queries: indexed
               (the default) or the plain reference ones that scan every record for every
               filter (for comparisons; the results are the same, only slower)

SIGINT or SIGTERM stop the run at its next item (a blocked run two seconds later): no
dumps are written, the log says where the run was, and the status is 8. A second signal
kills the process at once.

Exit status (every status but 0 prints its reason on standard error):
  0  the run completed and its dumps are in place
  2  wrong arguments, or the host folder does not exist
  3  no server name ("ExServer") in the registry
  4  no mailbox alias ("ExAlias") in the registry
  5  the messaging session could not be created
  6  logon failed: unknown server or mailbox, unreadable or invalid store file, or a
     store held by another run
  7  a dump could not be written or put in place (then none is), or a mailbox
     write-back failed, or the report could not be written
  8  stopped by SIGINT or SIGTERM; the dumps of the earlier run are left as they were
  9  the registration folder could not be located; nothing was written, any dumps
     present are from an earlier run
  10 the directory could not be opened, or was lost during the run; no dumps written
  11 the run completed, but lines of its log could not be written
  12 merge: the merge did not complete (no repository message, a folder that cannot be
     opened, an ACF of the ranking not found); Merge-1.csv is not written
  13 explain: nothing in the run matches the name
  When several apply: the first of 6, 10, 8, 9, 12, 7, 11.
)";
}

}  // namespace testqav
