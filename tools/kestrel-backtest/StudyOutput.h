#pragma once
// What the study writes of its scores: the headers and rows of study.csv and alerts.csv, and
// the best settings said on stdout. Every column of an earlier study keeps its place and its
// values; columns added since come after them, so a tool that reads the old ones by position
// goes on reading the same.
#include <string>
#include <string_view>
#include <vector>

#include "kestrel-backtest/Csv.h"
#include "kestrel-backtest/Report.h"

// The byte-order mark a CSV file starts with unless told not to: Excel on Windows reads a
// UTF-8 file without it as the system's code page, and the topics' names become garbage.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

void AlertsHeader(CCsvWriter& w, const std::vector<int>& horizons);
void StudyHeader(CCsvWriter& w, const std::vector<int>& horizons);
// One row of study.csv: one day, one setting, one kind. `median` by horizon, NaN without a
// scored alert.
void StudyRow(CCsvWriter& w, const std::string& day, const CSettingTally& t,
              const std::vector<double>& median);
// The best settings at each horizon, for the console.
std::string BestText(const CReportData& data);
