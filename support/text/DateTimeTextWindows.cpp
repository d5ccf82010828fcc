#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "support/text/DateTimeText.h"
#include "support/text/WideText.h"

namespace kavrin {

namespace {

// The system formats dates from 1601 on only. The Gregorian calendar repeats itself every 400
// years, weekdays included, so an earlier date is formatted as the same day this many years
// later and the year put back.
constexpr int kFirstYear = 1601;
constexpr int kYearShift = 2000;

using FormatCall = int(WINAPI*)(LCID, DWORD, const SYSTEMTIME*, LPCWSTR, LPWSTR, int);

std::string formatted(FormatCall format, DWORD flags, const SYSTEMTIME& time) {
    const int size = format(LOCALE_USER_DEFAULT, flags, &time, nullptr, nullptr, 0);
    if (size <= 1) {
        return std::string();
    }
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    const int length = format(LOCALE_USER_DEFAULT, flags, &time, nullptr, text.data(), size);
    text.resize(length > 1 ? static_cast<std::size_t>(length - 1) : 0);
    return fromWide(text);
}

// `text` with every run of digits that reads `from` replaced by `to`.
void replaceYear(std::string& text, const std::string& from, const std::string& to) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        if (text.compare(at, end - at, from) == 0) {
            text.replace(at, end - at, to);
            end = at + to.size();
        }
        at = end;
    }
}

}  // namespace

// GetDateFormat and GetTimeFormat in the user's default locale: the standard library of this
// toolchain has no named locales and gives an empty text for dates before 1900.
std::string localeDateTimeText(const DateTimeParts& parts, bool withTime) {
    const bool early = parts.year < kFirstYear;
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(early ? parts.year + kYearShift : parts.year);
    time.wMonth = static_cast<WORD>(parts.month);
    time.wDay = static_cast<WORD>(parts.day);
    time.wHour = static_cast<WORD>(parts.hour);
    time.wMinute = static_cast<WORD>(parts.minute);
    time.wSecond = static_cast<WORD>(parts.second);

    std::string text = formatted(&GetDateFormatW, DATE_SHORTDATE, time);
    // Two-digit and one-digit years read the same 2000 years apart; four digits are put back.
    if (early) {
        char fourDigits[16];
        std::snprintf(fourDigits, sizeof fourDigits, "%04d", parts.year);
        replaceYear(text, std::to_string(time.wYear), fourDigits);
    }
    if (withTime) {
        text += ' ';
        text += formatted(&GetTimeFormatW, 0, time);
    }
    return text;
}

}  // namespace kavrin
