// The benchmark's output: the console tables as rows arrive, and for
// bench/report the per-second shares (CSV) and the tables (Markdown).
#pragma once

#include <string>
#include <vector>

#include "args.h"
#include "cost.h"
#include "windows.h"

// The tools of the holding table, in column order.
struct ToolName {
    const char* id;     // in shares.csv
    const char* label;  // in the tables
};
const std::vector<ToolName>& HoldTools();

// One case with a run per tool, in HoldTools() order.
struct HoldRow {
    HoldCase c;
    std::vector<ToolRun> tools;
};

void PrintHoldHeader(const Config& cfg);
void PrintHoldRow(const HoldRow& row);
void PrintCostHeader(const Config& cfg);
void PrintCostRow(const CostFigures& f, const std::vector<CostFigures>& rows);

void WriteShares(const std::string& path, const std::vector<HoldRow>& rows);
void WriteMarkdown(const std::string& path, const Config& cfg, const std::string& cfsNote,
                   const std::vector<HoldRow>& holding, const std::vector<CostFigures>& cost);
