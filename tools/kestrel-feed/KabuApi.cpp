#include "kestrel-feed/KabuApi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>

#ifdef _WIN32
#include "common/TextFile.h"
#endif

namespace kestrel::feed::kabu {

namespace {

constexpr int kJapanOffsetSeconds = 9 * 3600;

std::optional<double> Number(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble()) return std::nullopt;  // null until the app has the figure
    return v.toDouble();
}

bool IsCodeChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool MapTopic(const std::string& topic, TopicSymbol& out, std::string& why) {
    // The markets whose issues the API serves under the Tokyo code today.
    static const char* const kTokyo[] = {".T", ".OS", ".Q", ".OJ"};
    const std::string code = topic.substr(0, 4);
    if (code.size() < 4 || !std::all_of(code.begin(), code.end(), IsCodeChar)) {
        why = topic + ": not an issue code";
        return false;
    }
    const std::string suffix = topic.substr(4);
    if (suffix.empty()) {
        why = topic + ": a code without a market (名証 or 福証) has no exchange code in the API";
        return false;
    }
    for (const char* s : kTokyo) {
        if (suffix == s) {
            out.Code = code;
            out.Exchange = 1;
            return true;
        }
    }
    why = topic + ": the market " + suffix + " has no exchange code in the API";
    return false;
}

bool JapanTime(const QString& iso, std::string& hhnnss, std::string& yyyymmdd, int& offsetMinutes) {
    QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!t.isValid()) return false;
    if (t.timeSpec() == Qt::OffsetFromUTC || t.timeSpec() == Qt::UTC) {
        offsetMinutes = t.offsetFromUtc() / 60;
        t = t.toOffsetFromUtc(kJapanOffsetSeconds);
    } else {
        offsetMinutes = kJapanOffsetSeconds / 60;  // no offset written: Japan's clock
    }
    hhnnss = t.time().toString(QStringLiteral("hh:mm:ss")).toStdString();
    yyyymmdd = t.date().toString(QStringLiteral("yyyyMMdd")).toStdString();
    return true;
}

bool ReadQuote(const QJsonObject& o, Quote& q) {
    q = Quote{};
    const QJsonValue symbol = o.value(QLatin1String("Symbol"));
    if (!symbol.isString() || symbol.toString().isEmpty()) return false;
    q.Symbol = symbol.toString().toStdString();
    q.Price = Number(o, "CurrentPrice");
    q.Volume = Number(o, "TradingVolume");
    q.Vwap = Number(o, "VWAP");
    q.ChangePercent = Number(o, "ChangePreviousClosePer");
    q.PrevClose = Number(o, "PreviousClose");
    q.Open = Number(o, "OpeningPrice");
    if (const QJsonValue n = o.value(QLatin1String("SymbolName")); n.isString())
        q.Name = n.toString().toStdString();

    std::string day, ignored;
    int offset = 540;
    auto readTime = [&](const char* key, std::string& hhnnss, std::string& date) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString() || !JapanTime(v.toString(), hhnnss, date, offset)) return false;
        if (offset != 540) {
            q.ForeignOffset = true;
            q.OffsetMinutes = offset;
        }
        return true;
    };
    std::string priceDay;
    readTime("CurrentPriceTime", q.PriceTime, priceDay);
    if (!readTime("TradingVolumeTime", ignored, day)) day = priceDay;
    q.Day = day;
    return true;
}

std::string MarginClass(const QJsonObject& o) {
    auto flag = [&](const char* key) { return o.value(QLatin1String(key)).toBool(false); };
    const bool buy = flag("MarginBuy"), sell = flag("MarginSell");
    if (buy && sell) return "貸借";
    if (buy) return "信用";
    if (flag("KCMarginBuy") || flag("KCMarginSell")) return "一般";
    return "";
}

Answer Classify(int http, const QByteArray& body, const std::string& transportError) {
    Answer a;
    a.Http = http;
    if (http == 0) {
        a.Kind = Outcome::Unreachable;
        a.Message = transportError;
        return a;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    const bool json = error.error == QJsonParseError::NoError && doc.isObject();
    if (json) {
        a.Body = doc.object();
        a.Code = a.Body.value(QLatin1String("Code")).toInt(0);
        a.Message = a.Body.value(QLatin1String("Message")).toString().toStdString();
    } else {
        a.Message = QString::fromUtf8(body.left(200)).simplified().toStdString();
    }
    if (http == 200) {
        a.Kind = json ? Outcome::Ok : Outcome::Failed;
        if (!json) a.Message = "an answer that is not JSON";
        return a;
    }
    if (http == 429 || a.Code == 4001006) {
        a.Kind = Outcome::RateLimited;
    } else if (a.Code == 4001013) {
        a.Kind = Outcome::WrongPassword;
    } else if (a.Code == 4001007 || a.Code == 4001017 || a.Code == 4001008) {
        a.Kind = Outcome::NotLoggedIn;
    } else if (http == 401) {
        a.Kind = Outcome::TokenInvalid;
    } else if (a.Code == 4002006) {
        a.Kind = Outcome::CapReached;
    } else if (a.Code == 4001018 || a.Code == 4001019) {
        a.Kind = Outcome::Refused;
    } else if (a.Code == 4002001) {
        a.Kind = Outcome::UnknownSymbol;
    } else if (http == 400 && !json) {
        // Windows' HTTP server itself refuses a request addressed to another host name
        // ("Bad Request - Invalid Hostname") before the API sees it.
        a.Kind = Outcome::HostRefused;
    } else {
        a.Kind = Outcome::Failed;
    }
    return a;
}

namespace {

// The first line of what was read, without its line end; false when there is none.
bool FirstLine(std::string text, const std::string& path, std::string& password,
               std::string& error) {
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
        error = path + ": holds no password on its first line";
        return false;
    }
    password = std::move(text);
    return true;
}

}  // namespace

#ifdef _WIN32
namespace {

std::string SystemMessage(DWORD code) {
    char buf[512];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == '.')) --n;
    return n > 0 ? std::string(buf, n) : "system error " + std::to_string(code);
}

// The account a SID names, as DOMAIN\name, else the SID's text.
std::string AccountName(PSID sid) {
    wchar_t name[256], domain[256];
    DWORD nn = 256, dn = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nn, domain, &dn, &use)) {
        std::wstring w = dn > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
        int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string s(static_cast<size_t>(n > 0 ? n : 1), '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
        s.pop_back();
        return s;
    }
    char* text = nullptr;
    std::string s = "an account";
    if (ConvertSidToStringSidA(sid, &text)) {
        s = text;
        LocalFree(text);
    }
    return s;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buf[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buf;
    return CreateWellKnownSid(type, nullptr, buf, &size) && EqualSid(sid, buf);
}

// Who besides the user may read or change the file, by its access list: the system and the
// administrators may read every file anyway. Empty when nobody else may.
std::string Others(HANDLE file, PSID user, std::string& error) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = GetSecurityInfo(file, SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                     nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        error = SystemMessage(rc);
        return {};
    }
    std::string others;
    auto trusted = [&](PSID sid) {
        return EqualSid(sid, user) || IsWellKnown(sid, WinLocalSystemSid) ||
               IsWellKnown(sid, WinBuiltinAdministratorsSid);
    };
    if (owner && !trusted(owner)) {
        others = "belongs to " + AccountName(owner);
    } else if (!dacl) {
        others = "everyone may read or change it (no access list)";
    } else {
        constexpr ACCESS_MASK kReadOrWrite = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                             GENERIC_READ | GENERIC_WRITE | GENERIC_ALL |
                                             WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED;
        for (DWORD i = 0; i < dacl->AceCount && others.empty(); ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) continue;
            auto* header = static_cast<ACE_HEADER*>(ace);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
                continue;
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            PSID sid = &allowed->SidStart;
            if ((allowed->Mask & kReadOrWrite) && !trusted(sid))
                others = AccountName(sid) + " may read or change it";
        }
    }
    LocalFree(sd);
    return others;
}

}  // namespace

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = path + ": " + SystemMessage(GetLastError());
        return false;
    }
    bool ok = GetFileType(h) == FILE_TYPE_DISK;
    if (!ok) error = path + ": not a regular file";
    HANDLE token = nullptr;
    std::vector<BYTE> user;
    if (ok && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user.resize(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
            user.clear();
        CloseHandle(token);
    }
    if (ok && user.empty()) {
        ok = false;
        error = path + ": cannot tell who this program runs as: " + SystemMessage(GetLastError());
    }
    if (ok) {
        std::string why;
        const std::string others =
            Others(h, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, why);
        if (!why.empty()) {
            ok = false;
            error = path + ": its access list cannot be read: " + why;
        } else if (!others.empty()) {
            ok = false;
            error = path + ": " + others +
                    "; the API password must be in a file only you can read: icacls \"" + path +
                    "\" /inheritance:r /grant:r \"%USERNAME%\":F";
        }
    }
    std::string text;
    if (ok) {
        char buf[512];
        DWORD n = 0;
        BOOL read;
        while ((read = ReadFile(h, buf, sizeof buf, &n, nullptr)) && n > 0 && text.size() < 4096)
            text.append(buf, n);
        if (!read) {
            ok = false;
            error = path + ": " + SystemMessage(GetLastError());
        }
    }
    CloseHandle(h);
    return ok && FirstLine(std::move(text), path, password, error);
}
#else
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        error = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        ok = false;
        error = path + ": not a regular file";
    } else if (st.st_uid != geteuid()) {
        ok = false;
        error = path + ": belongs to another user; the API password must be in a file of yours";
    } else if ((st.st_mode & 077) != 0) {
        ok = false;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = path + ": others may read or change it (mode " + mode +
                "); the API password must be in a file only you can read: chmod 600 " + path;
    }
    std::string text;
    if (ok) {
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
            text.append(buf, static_cast<size_t>(n));
        if (n < 0) {
            ok = false;
            error = path + ": " + std::strerror(errno);
        }
    }
    close(fd);
    return ok && FirstLine(std::move(text), path, password, error);
}
#endif

int Backoff::Next() {
    int64_t ms = FirstMs;
    for (int i = 0; i < Failures && ms < MaxMs; ++i) ms *= 2;
    ++Failures;
    return static_cast<int>(std::min<int64_t>(ms, MaxMs));
}

}  // namespace kestrel::feed::kabu
