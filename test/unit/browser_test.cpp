// The HTML report of the bundled example opened in headless Chromium: it loads without console
// messages, each chart has as many points as its JSON data, and a table cell shows the text of
// the JSON cell. A screenshot is left beside the program (report.png) as a build artefact.
// Skipped, with the reason, where Chromium is not installed or cannot start.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "program_runner.h"

namespace fs = std::filesystem;
using namespace qvtest;

namespace {

class Browser : public ProgramTest {};

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(Browser, ExampleReportLoadsWithItsChartsAndTables) {
  const char* candidates[] = {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"};
  std::string chromium;
  for (const char* c : candidates)
    if (fs::exists(c)) chromium = c;
  if (chromium.empty()) GTEST_SKIP() << "Chromium is not installed (scripts/setup.sh --browser installs it)";

  const fs::path ex = fs::path(QV_SOURCE_DIR) / "examples";
  const std::vector<std::string> base = {(ex / "yield.qv").string(), "--data", (ex / "yield.csv").string(),
                                         "--dictionary", (ex / "dictionary.json").string()};
  std::vector<std::string> html = base, json = base;
  html.insert(html.end(), {"--format", "html", "-o", path("report.html")});
  json.insert(json.end(), {"--format", "json", "-o", path("report.json")});
  ASSERT_EQ(run(html).status, 0);
  ASSERT_EQ(run(json).status, 0);

  const std::string flags =
      " --headless --no-sandbox --disable-gpu --hide-scrollbars --enable-logging=stderr --v=0 ";
  const std::string url = shellQuote("file://" + path("report.html"));
  const std::string dom = path("dom.html"), log = path("log.txt");
  const int st = std::system(("timeout 120 " + shellQuote(chromium) + flags + "--dump-dom " + url + " > " +
                              shellQuote(dom) + " 2> " + shellQuote(log))
                                 .c_str());
  const std::string page = slurp(dom);
  if (st != 0 || page.find("<body") == std::string::npos)
    GTEST_SKIP() << "Chromium could not start: " << slurp(log).substr(0, 400);
  const std::string shot = (fs::path(QV_BINARY).parent_path() / "report.png").string();
  std::system(("timeout 120 " + shellQuote(chromium) + flags +
               "--window-size=1000,2600 --screenshot=" + shellQuote(shot) + " " + url + " > /dev/null 2>&1")
                  .c_str());

  // The page has no scripts: any console message is a fault of the page.
  EXPECT_EQ(slurp(log).find(":CONSOLE("), std::string::npos) << slurp(log);

  const nlohmann::json doc = nlohmann::json::parse(slurp(path("report.json")));
  size_t charts = 0, points = 0;
  std::string fText;
  std::function<void(const nlohmann::json&)> walk = [&](const nlohmann::json& items) {
    for (const auto& it : items) {
      if (it["type"] == "heading") walk(it["items"]);
      if (it["type"] == "chart") {
        ++charts;
        for (const auto& s : it["series"]) points += s["points"].size();
      }
      if (it["type"] == "table" && it["title"] == "Tests of Between-Subjects Effects")
        for (const auto& c : it["cells"])
          if (c["at"]["Source"] == "fert" && c["at"]["Statistics"] == "F") fText = c["text"];
    }
  };
  walk(doc["commands"][0]["items"]);
  EXPECT_EQ(charts, 1u);
  EXPECT_EQ(points, 6u);  // 3 fertiliser rates x 2 water regimes
  EXPECT_EQ(countOf(page, "<svg"), charts);
  EXPECT_EQ(countOf(page, "class=\"point\""), points);
  ASSERT_FALSE(fText.empty());
  EXPECT_NE(page.find("<td class=\"num\">" + fText + "</td>"), std::string::npos) << fText;
}

}  // namespace
