// The log export: the exact bytes of the CSV and HTML files of a known log (traced text that
// looks like markup, quotes, a tab, line breaks, characters beyond ASCII), the progress calls
// and a stop after the first row, hidden columns and a file that cannot be made.
#include "Tracer/app/uReportWriters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "Tracer/engine/uEventQueue.h"
#include "support/TestSupport.h"

namespace {

// Records the calls and stops after the given number of them.
class TRecordingProgress : public IProgressCallback {
public:
  explicit TRecordingProgress(int stopAfter = -1) : FStopAfter(stopAfter) {}
  bool Progress(int32_t position, int32_t max) override {
    Calls.emplace_back(position, max);
    return FStopAfter < 0 || static_cast<int>(Calls.size()) < FStopAfter;
  }
  std::vector<std::pair<int32_t, int32_t>> Calls;

private:
  int FStopAfter;
};

class ReportWriters : public testing::Test {
protected:
  void SetUp() override { AddDefaultColumns(Columns); }

  // A message, a call and an error whose texts need care in both formats.
  static void AddKnownLog() {
    GetTracerEventQueue()->AddMessage(L"Start <b>");
    AddLogCall(L"Caf\u00E9Exec", 0x1234, 12.5, 0,
               {{L"sql", TOleVariant(L"<script>alert(\"x\")</script>")},
                {L"note", TOleVariant(L"tab\there & 'q'")},
                {L"text", TOleVariant(L"\u0416 ok")},
                {L"lines", TOleVariant(L"x\r\ny")},
                {L"h", TOleVariant(7), false}});
    GetTracerEventQueue()->AddError(L"cannot open \"db\" & <retry>");
  }

  template <class TWriter>
  std::string Export(IProgressCallback* progress = nullptr) {
    TWriter writer(&Columns);
    writer.Write(Dir.File(L"log.out"), progress);
    return ReadTextFile(Dir.File(L"log.out"));
  }

  TLogScope Log;
  TTEQColumnManager Columns;
  TTempDir Dir;
};

std::string Tr(COLORREF text, COLORREF back) {
  char tag[80];
  snprintf(tag, sizeof(tag), "<tr style=\"color: #%6.6X; background-color: #%6.6X;\">\r\n",
           static_cast<unsigned>(ColorToHTMLRGB(text)), static_cast<unsigned>(ColorToHTMLRGB(back)));
  return tag;
}

const char kHTMLHeader[] =
    "<!doctype html system>\r\n"
    "<html><head><title>Calderwisp Log</title>\r\n"
    "<style type=\"text/css\">body{font-family: Verdana; font-size: 8pt;}"
    ".thintable{ font-family: Verdana; font-size: 8pt;border-left: solid 1px black; border-top: solid 1px black;} "
    ".thintable tr td{border-bottom: solid 1px black; border-right: solid 1px black;} h1 {font-size: 14pt;}"
    "h1 {font-family: Verdana; font-size: 14pt;}</style></head>\r\n"
    "<body>\r\n"
    "<h1>Calderwisp Log</h1>\r\n"
    "<table border=0 cellspacing=0 cellpadding=2 class=\"thintable\" summary=\"report\">\r\n";

const char kHTMLCaptionCells[] =
    "<td>Thread Id</td><td>Call</td><td>Time (ms)</td><td>Result</td><td>Parameters</td></tr>\r\n";

std::string CaptionTr() { return Tr(GetSysColor(COLOR_BTNTEXT), GetSysColor(COLOR_BTNFACE)); }

}  // namespace

TEST_F(ReportWriters, CSVBytesOfAKnownLog) {
  if (GetACP() != 1252) GTEST_SKIP() << "the expected bytes are those of code page 1252, not " << GetACP();
  AddKnownLog();
  EXPECT_EQ(Export<TCSVReportWriter>(),
            "\"Thread Id\";\"Call\";\"Time (ms)\";\"Result\";\"Parameters\";\r\n"
            "\"\";\"Start <b>\";\"\";\"\";\"\";\r\n"
            "\"4660\";\"Caf\xE9" "Exec\";\"13\";\"0\";"
            "\"sql='<script>alert(\"\"x\"\")</script>' note='tab\there & 'q'' text='? ok' lines='x\r\ny'\";\r\n"
            "\"\";\"Error\";\"\";\"\";\"'cannot open \"\"db\"\" & <retry>'\";\r\n");
}

TEST_F(ReportWriters, HTMLBytesOfAKnownLogKeepTracedTextOutOfTheMarkup) {
  if (GetACP() != 1252) GTEST_SKIP() << "the expected bytes are those of code page 1252, not " << GetACP();
  AddKnownLog();
  const std::string html = Export<THTMLReportWriter>();
  const std::string expected =
      std::string(kHTMLHeader) + CaptionTr() + kHTMLCaptionCells +
      Tr(0, 0x00E8FFF8) +
      "<td>&nbsp;</td><td>Start &lt;b&gt;</td><td>&nbsp;</td><td>&nbsp;</td><td>&nbsp;</td></tr>\r\n" +
      Tr(0, GetSysColor(COLOR_WINDOW)) +
      "<td>4660</td><td>Caf&#233;Exec</td><td>13</td><td>0</td>"
      "<td><b>sql</b>=&#39;&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;"
      "<br><b>note</b>=&#39;tab\there &amp; &#39;q&#39;&#39;"
      "<br><b>text</b>=&#39;? ok&#39;"
      "<br><b>lines</b>=&#39;x<br>y&#39;</td></tr>\r\n" +
      Tr(0xFFFFFF, 0x0000FF) +
      "<td>&nbsp;</td><td>Error</td><td>&nbsp;</td><td>&nbsp;</td>"
      "<td>&#39;cannot open &quot;db&quot; &amp; &lt;retry&gt;&#39;</td></tr>\r\n"
      "</table></body></html>\r\n";
  EXPECT_EQ(html, expected);
  // The page a person (and the browser check of the build) looks at.
  WriteTextFile(TestBinDir() + L"LogExport.htm", html);
}

TEST_F(ReportWriters, PageTextRules) {
  struct TCase {
    const wchar_t* text;
    const wchar_t* page;
  } cases[] = {
      {L"", L"&nbsp;"},
      {L"x\r\ny\nz", L"x<br>y<br>z"},
      {L"a\rb", L"a\rb"},  // a lone CR stays
      {L"<b>&amp;</b>", L"&lt;b&gt;&amp;amp;&lt;/b&gt;"},
      {L"\"'", L"&quot;&#39;"},
      {L"\u00E9\U0001F600", L"&#233;&#128512;"},  // a surrogate pair is one character
  };
  for (const TCase& c : cases) EXPECT_EQ(HTMLCellText(c.text), c.page) << testing::PrintToString(std::wstring(c.text));
  EXPECT_EQ(ColorToHTMLRGB(0x00332211), 0x112233u);
  EXPECT_EQ(ColumnLetter(0), L"A");
  EXPECT_EQ(ColumnLetter(4), L"E");
  EXPECT_EQ(ColumnLetter(25), L"Z");
  EXPECT_EQ(ColumnLetter(26), L"AA");
}

TEST_F(ReportWriters, AnEmptyLogGivesTheCaptionRowAloneAndNoProgressCalls) {
  TRecordingProgress progress;
  EXPECT_EQ(Export<TCSVReportWriter>(&progress), "\"Thread Id\";\"Call\";\"Time (ms)\";\"Result\";\"Parameters\";\r\n");
  const std::string html = Export<THTMLReportWriter>(&progress);
  EXPECT_EQ(html, std::string(kHTMLHeader) + CaptionTr() + kHTMLCaptionCells + "</table></body></html>\r\n");
  EXPECT_TRUE(progress.Calls.empty());
}

TEST_F(ReportWriters, ProgressAfterEveryRowAndAStopAfterTheFirstLeavesOneRow) {
  for (int i = 0; i < 4; ++i) GetTracerEventQueue()->AddMessage(L"m" + std::to_wstring(i));
  TRecordingProgress all;
  Export<TCSVReportWriter>(&all);
  EXPECT_EQ(all.Calls, (std::vector<std::pair<int32_t, int32_t>>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}));

  TRecordingProgress once(1);
  EXPECT_EQ(Export<TCSVReportWriter>(&once),
            "\"Thread Id\";\"Call\";\"Time (ms)\";\"Result\";\"Parameters\";\r\n\"\";\"m0\";\"\";\"\";\"\";\r\n");
  EXPECT_EQ(once.Calls.size(), 1u);
  TRecordingProgress htmlOnce(1);
  const std::string html = Export<THTMLReportWriter>(&htmlOnce);
  EXPECT_NE(html.find("<td>m0</td>"), std::string::npos);
  EXPECT_EQ(html.find("<td>m1</td>"), std::string::npos);
  EXPECT_TRUE(html.ends_with("</tr>\r\n</table></body></html>\r\n")) << "the footer follows a stop";
}

TEST_F(ReportWriters, HiddenColumnsAndHiddenParametersAreLeftOut) {
  AddLogCall(L"f", 3, 2, 1, {{L"a", TOleVariant(1)}, {L"b", TOleVariant(L"x")}, {L"c", TOleVariant(2), false}});
  for (int id : {colThreadId, colTime}) Columns.AllColumns().GetItem(id)->SetVisible(false);
  Columns.UpdateVisibleColumns();
  EXPECT_EQ(Export<TCSVReportWriter>(), "\"Call\";\"Result\";\"Parameters\";\r\n\"f\";\"1\";\"a=1 b='x'\";\r\n");
  const std::string html = Export<THTMLReportWriter>();
  EXPECT_NE(html.find("<td>f</td><td>1</td><td><b>a</b>=1<br><b>b</b>=&#39;x&#39;</td></tr>"), std::string::npos) << html;

  // With every column hidden the rows are empty, and nothing fails.
  for (TTEQColumn* c : Columns.AllColumns()) c->SetVisible(false);
  Columns.UpdateVisibleColumns();
  EXPECT_EQ(Export<TCSVReportWriter>(), "\r\n\r\n");
}

TEST_F(ReportWriters, AFileThatCannotBeMadeFailsBeforeAnythingElse) {
  GetTracerEventQueue()->AddMessage(L"m");
  TRecordingProgress progress;
  TCSVReportWriter writer(&Columns);
  const std::wstring target = Dir.File(L"no such folder\\log.csv");
  try {
    writer.Write(target, &progress);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(SplitLines(e.Message())[0].rfind(L"Cannot create file \"" + target + L"\".", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(progress.Calls.empty());
  EXPECT_EQ(writer.RowIndex(), -1);
}
