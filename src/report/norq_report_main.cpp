// norq-report: the yield of the download tool's and the writer's phones,
// from their records files (one JSON object per line) or the database's
// phone_records table: per station, per row and per day, and the failure
// texts ranked by count; --html writes the same as one self-contained page.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/program_options.h"
#include "report/phone_records.h"
#include "report/record_db.h"
#include "report/yield_report.h"

namespace {

constexpr int kExitDone = 0, kExitUnreadable = 1, kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Yield of the phone records of quillport and tavlo stations"};
  AddVersionFlag(app, "norq-report");
  std::vector<std::string> paths;
  std::string strConnect, strHtml;
  app.add_option("paths", paths,
                 "base folders (their log/records/*.jsonl are read) or records files");
  app.add_option("--connect", strConnect,
                 "read the phone_records table of this database (a connection string or URI; the "
                 "password comes from the password file or PGPASSWORD, never from here)")
      ->envname("NORQ_REPORT_CONNECT");
  app.add_option("--html", strHtml, "also write the report as one HTML page to FILE");
  app.footer(
      "Exit status: 0 when every source was read (damaged lines are skipped and counted); 1 when "
      "a source could not be read or the page not written; 2 for bad usage.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitDone : kExitUsage;
  }
  if (paths.empty() && strConnect.empty()) {
    std::fprintf(stderr, "norq-report: name a base folder, a records file or --connect\n");
    return kExitUsage;
  }

  CYieldReport report;
  SReadCounts counts;
  auto add = [&report](const SPhoneRecord& record) { report.Add(record); };
  for (const std::string& strPath : paths) {
    std::string strError;
    if (!ReadRecordsPath(strPath, add, &counts, &strError)) {
      std::fprintf(stderr, "norq-report: %s\n", strError.c_str());
      return kExitUnreadable;
    }
    report.AddSource(strPath);
  }
  if (!strConnect.empty()) {
    std::string strError;
    if (!ReadRecordsDatabase(strConnect, add, &counts, &strError)) {
      std::fprintf(stderr, "norq-report: database: %s\n", strError.c_str());
      return kExitUnreadable;
    }
    report.AddSource("the phone_records table");
  }
  report.AddDamaged(counts.nDamaged);
  if (counts.nDamaged > 0) {
    std::fprintf(stderr, "norq-report: skipped %lld damaged line(s)\n",
                 static_cast<long long>(counts.nDamaged));
  }
  std::fputs(report.Text().c_str(), stdout);
  if (!strHtml.empty()) {
    std::ofstream out(strHtml, std::ios::binary | std::ios::trunc);
    out << report.Html();
    out.close();
    if (!out) {
      std::fprintf(stderr, "norq-report: cannot write %s\n", strHtml.c_str());
      return kExitUnreadable;
    }
  }
  return kExitDone;
}
