#pragma once
// The history as text: a table for a terminal, JSON and CSV for other
// programs and spreadsheets (the window's export writes the same CSV).

#include <string>
#include <vector>

#include "platform/history/history_store.h"
#include "platform/history/pass_rates.h"

namespace history {

// "2026-01-05 10:11:12" (UTC)
std::string ShortUtc(int64_t nMs);
// "0:42", "1:02:03"
std::string FormatDuration(int64_t nMs);
// "slot 3" for a fleet job, the port otherwise.
std::string PortOrSlot(const JobRecord& record);
// "main:3f2a9c1d eboot:..." (each image's role and the start of its SHA-256)
std::string ImagesShort(const JobRecord& record);

std::string JobsTable(const std::vector<JobRow>& rows);
std::string JobsJson(const std::vector<JobRow>& rows);
std::string JobsCsv(const std::vector<JobRow>& rows);

// pszKey: the heading of the group column ("SLOT", "PORT", "STATION").
std::string RatesTable(const std::vector<RateVerdict>& rates, const char* pszKey);
std::string RatesJson(const std::vector<RateVerdict>& rates, const char* pszKey);
std::string RatesCsv(const std::vector<RateVerdict>& rates, const char* pszKey);

// One CSV field, quoted where it must be (RFC 4180).
std::string CsvField(const std::string& text);

}  // namespace history
