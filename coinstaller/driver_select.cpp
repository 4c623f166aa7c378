// Driver choice: every compatible driver that can be inspected drops one rank, and the driver
// elected by the DriverVer date of its install section gets the best rank, so that the platform's
// own selection, which takes the lowest rank, picks it.
#include "coinstaller_constants.h"
#include "phases.h"

namespace {

constexpr LONG kLargestField = 0x7FFFFFFF;
constexpr DWORD kSmallestFieldMagnitude = 0x80000000u;

BOOL IsDateSeparator(char c) {
  return c == kDriverDateSeparator || c == kDriverDateAlternateSeparator;
}

BOOL IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Converts the field [begin, end) as a signed decimal number: leading white space, an optional
// sign, then digits up to the first non-digit; no digits give 0. A number beyond the signed
// 32-bit range stops at its largest or smallest value. The comparison reads the result unsigned.
DWORD ConvertDateField(const char *begin, const char *end) {
  const char *p = begin;
  while (p < end && IsWhiteSpace(*p)) ++p;
  BOOL negative = FALSE;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = (*p == '-');
    ++p;
  }
  const DWORD limit = negative ? kSmallestFieldMagnitude : static_cast<DWORD>(kLargestField);
  DWORD magnitude = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    const DWORD digit = static_cast<DWORD>(*p - '0');
    magnitude = (magnitude > (limit - digit) / 10) ? limit : magnitude * 10 + digit;
  }
  return negative ? static_cast<DWORD>(0u - magnitude) : magnitude;
}

// Stores a field when there is still room among the three, and counts it in any case.
void TakeDateField(const char *begin, const char *end, DWORD fields[3], DWORD *count) {
  if (*count < kDriverDateFieldCount) fields[*count] = ConvertDateField(begin, end);
  ++*count;
}

// D is later than R: year first, then month, then day, all read as unsigned numbers. An equal
// date is not later.
BOOL IsDateLater(const DWORD date[3], const DWORD reference[3]) {
  if (date[kDriverDateYear] != reference[kDriverDateYear]) {
    return date[kDriverDateYear] > reference[kDriverDateYear];
  }
  if (date[kDriverDateMonth] != reference[kDriverDateMonth]) {
    return date[kDriverDateMonth] > reference[kDriverDateMonth];
  }
  return date[kDriverDateDay] > reference[kDriverDateDay];
}

BOOL IsCompleteDate(const DWORD date[3]) {
  return date[kDriverDateMonth] != 0 && date[kDriverDateDay] != 0 && date[kDriverDateYear] != 0;
}

// Reads the DriverVer date of the driver's actual install section in an open INF into date.
// FALSE when the section, the line or its field cannot be read, or the text is no date of
// exactly three fields.
BOOL ReadInstallSectionDate(HINF inf, const char *sectionName, DWORD date[3]) {
  char actualSection[kTextBufferSize];
  if (!SetupDiGetActualSectionToInstallA(inf, sectionName, actualSection, sizeof(actualSection), nullptr,
                                         nullptr)) {
    return FALSE;
  }
  INFCONTEXT line;
  if (!SetupFindFirstLineA(inf, actualSection, kDriverVerKey, &line)) return FALSE;
  char dateText[kTextBufferSize];
  if (!SetupGetStringFieldA(&line, kDriverVerDateField, dateText, sizeof(dateText), nullptr)) return FALSE;
  return ParseDriverVerDate(dateText, date) == kDriverDateFieldCount;
}

// The ranks are read and written back without looking at either result: a driver whose
// parameters cannot be had is simply not re-ranked.
void RaiseDriverRank(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_A driver) {
  SP_DRVINSTALL_PARAMS params = {};
  params.cbSize = sizeof(params);
  SetupDiGetDriverInstallParamsA(set, device, driver, &params);
  ++params.Rank;
  SetupDiSetDriverInstallParamsA(set, device, driver, &params);
}

void GiveBestRank(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_A driver) {
  SP_DRVINSTALL_PARAMS params = {};
  params.cbSize = sizeof(params);
  SetupDiGetDriverInstallParamsA(set, device, driver, &params);
  params.Rank = kBestDriverRank;
  SetupDiSetDriverInstallParamsA(set, device, driver, &params);
}

}  // namespace

DWORD ParseDriverVerDate(const char *text, DWORD fields[3]) {
  DWORD count = 0;
  const char *fieldStart = text;
  const char *p = text;
  while (*p != '\0') {
    if (!IsDateSeparator(*p)) {
      ++p;
      continue;
    }
    TakeDateField(fieldStart, p, fields, &count);
    fieldStart = p + 1;
    if (*fieldStart == '\0') break;
    // The character after a separator always belongs to the next field, even when it is a
    // separator itself: testing resumes one character further on.
    p = fieldStart + 1;
  }
  const char *fieldEnd = fieldStart;
  while (*fieldEnd != '\0') ++fieldEnd;
  TakeDateField(fieldStart, fieldEnd, fields, &count);
  return count;
}

DWORD SelectBestCompatibleDriver(HDEVINFO set, PSP_DEVINFO_DATA device, PCOINSTALLER_CONTEXT_DATA /*context*/) {
  DWORD reference[3] = {0, 0, 0};
  SP_DRVINFO_DATA_A elected = {};
  BOOL haveElected = FALSE;

  for (DWORD index = 0;; ++index) {
    SP_DRVINFO_DATA_A driver = {};
    driver.cbSize = sizeof(driver);
    if (!SetupDiEnumDriverInfoA(set, device, SPDIT_COMPATDRIVER, index, &driver)) break;

    // The fixed part is all that is needed: a detail call that only lacks room for the
    // hardware-ID list has filled it.
    SP_DRVINFO_DETAIL_DATA_A detail = {};
    detail.cbSize = sizeof(detail);
    if (!SetupDiGetDriverInfoDetailA(set, device, &driver, &detail, sizeof(detail), nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      continue;
    }

    RaiseDriverRank(set, device, &driver);

    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileA(detail.InfFileName, nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) continue;

    DWORD date[3] = {0, 0, 0};
    if (ReadInstallSectionDate(inf, detail.SectionName, date) && IsDateLater(date, reference)) {
      // Only a date later than a complete date read before it elects its driver; the first
      // date that moves the reference away from zero elects nobody.
      if (IsCompleteDate(reference)) {
        elected = driver;
        haveElected = TRUE;
      }
      for (DWORD i = 0; i < kDriverDateFieldCount; ++i) reference[i] = date[i];
    }
    SetupCloseInfFile(inf);
  }

  if (haveElected) GiveBestRank(set, device, &elected);
  return NO_ERROR;
}
