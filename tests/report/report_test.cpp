// norq-report over the records files of two stations.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "pty_phone.h"

namespace {

void WriteLines(const std::string& strPath, const std::string& strLines) {
  std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
  std::ofstream(strPath, std::ios::binary | std::ios::app) << strLines;
}

std::string Download(int nRow, const std::string& strDay, const std::string& strResult,
                     const std::string& strFailure = "") {
  return R"({"tool":"quillport","version":"1.0.1","station":"line1:/srv/q","row":)" +
         std::to_string(nRow) + R"(,"port":"COM5","usb_path":"1-1.2","started":")" + strDay +
         R"(T08:00:00+08:00","ended":")" + strDay + R"(T08:01:00+08:00","seconds":60,"result":")" +
         strResult + R"(","failure":)" + (strFailure.empty() ? "null" : '"' + strFailure + '"') +
         R"(,"step":"boot","package":"a_norq_total.bin","package_sha256":"00","images":[]})"
         "\n";
}

TEST(Report, YieldPerStationRowAndDayFromTwoStationsWithDamagedLines) {
  CTempDir dir;
  const std::string strQuill = dir.File("quill"), strTavlo = dir.File("tavlo");
  const std::string strEvil = "<script>alert('x')</script> & \\\"more\\\"";
  WriteLines(strQuill + "/log/records/2026-12-09.jsonl",
             Download(1, "2026-12-09", "passed") + Download(1, "2026-12-09", "passed") +
                 Download(2, "2026-12-09", "failed", "Get connect[ACK] command failed!") +
                 // Torn by a crash, then a line of something else.
                 R"({"tool":"quillport","station":"line1:/srv/q","row":1,"res)"
                 "\n" +
                 "[1,2]\n");
  WriteLines(strQuill + "/log/records/2026-12-10.jsonl",
             Download(2, "2026-12-10", "failed", strEvil) +
                 Download(2, "2026-12-10", "failed", "Get connect[ACK] command failed!") +
                 Download(1, "2026-12-10", "stopped", "Get connect[ACK] command failed!") +
                 Download(1, "2026-12-10", "maybe") + "\n");  // no such result; a blank line
  WriteLines(strTavlo + "/log/records/2026-12-10.jsonl",
             R"({"tool":"tavlo","station":"写号站","started":"2026-12-10T09:00:00+08:00",)"
             R"("result":"passed","failure":null,"imei":["356938035643809"],"checked":true})"
             "\n");

  const std::string strHtml = dir.File("yield.html");
  std::string out;
  ASSERT_EQ(RunIn(dir.Path(),
                  std::string(NORQ_REPORT_PATH) + " quill tavlo/log/records/2026-12-10.jsonl" +
                      " --html yield.html",
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("skipped 3 damaged line(s)"), std::string::npos) << out;
  EXPECT_NE(out.find("Phone records: 7"), std::string::npos) << out;
  // Per station, per row, per day; stopped phones count for no yield.
  EXPECT_NE(out.find("line1:/srv/q  quillport  2       3       1        40.0%"), std::string::npos)
      << out;
  EXPECT_NE(out.find("写号站     tavlo      1       0       0        100.0%"), std::string::npos)
      << out;
  EXPECT_NE(out.find("line1:/srv/q  1    2       0       1        100.0%"), std::string::npos)
      << out;
  EXPECT_NE(out.find("line1:/srv/q  2    0       3       0        0.0%"), std::string::npos) << out;
  EXPECT_NE(out.find("2026-12-09  line1:/srv/q  quillport  2       1       0        66.7%"),
            std::string::npos)
      << out;
  // Ranked by count; the stopped phone's text is no failure.
  const size_t nFirst = out.find("2      66.7%  Get connect[ACK] command failed!");
  const size_t nSecond = out.find("1      33.3%  <script>");
  EXPECT_NE(nFirst, std::string::npos) << out;
  EXPECT_NE(nSecond, std::string::npos) << out;
  EXPECT_LT(nFirst, nSecond);

  const std::string strPage = ReadWholeFile(strHtml);
  EXPECT_EQ(strPage.find("<script>"), std::string::npos) << "every text is escaped";
  EXPECT_NE(strPage.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;more&quot;"),
            std::string::npos);
  EXPECT_EQ(strPage.find("http"), strPage.find("http://www.w3.org/2000/svg")) << "self-contained";
  EXPECT_NE(strPage.find("line1:/srv/q · row 2"), std::string::npos);
  EXPECT_NE(strPage.find("3 damaged line(s) skipped"), std::string::npos);

  // The records folder itself reads as its base folder does.
  ASSERT_EQ(RunIn(dir.Path(), std::string(NORQ_REPORT_PATH) + " quill/log/records", &out), 0);
  EXPECT_NE(out.find("Phone records: 6 (3 damaged line(s) skipped)"), std::string::npos) << out;
  EXPECT_EQ(RunIn(dir.Path(), std::string(NORQ_REPORT_PATH) + " absent", &out), 1) << out;
  EXPECT_EQ(RunIn(dir.Path(), std::string(NORQ_REPORT_PATH) + " tavlo/log", &out), 1) << out;
  EXPECT_EQ(RunIn(dir.Path(), std::string(NORQ_REPORT_PATH), &out), 2) << out;
}

}  // namespace
