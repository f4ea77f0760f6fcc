// Web and FTP addresses against the loopback servers that run.sh starts:
// downloads are dumped exactly like files of the same bytes, every failure
// (misbehaving servers included) has its message and exit code, and no
// "MMF*.tmp" download is ever left in the temp folder. Ctrl-C stops every
// phase of a download, and silence ends it.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include "TestSupport.h"
#include "dump/Dump.h"
#include "filesel/FileSel.h"
#include "input/Input.h"
#include "net/Net.h"
#include "plugin/Plugin.h"

namespace {

std::wstring Port(const char* server) {
    const char* port = getenv((std::string("BYTORA_TEST_") + server + "_PORT").c_str());
    return port ? Widen(port) : L"";
}

// scheme://127.0.0.1:port/path of one of the servers.
std::wstring Url(const wchar_t* scheme, const char* server, const wchar_t* path) {
    return std::wstring(scheme) + L"://127.0.0.1:" + Port(server) + path;
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path(buffer, n);
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path;
}

// When this program started: the time-out check that run.sh runs beside it
// holds a download from before that until after this program ends.
const FILETIME Started = [] {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}();

// Downloads in the temp folder made since this program started, ours or
// bytora.exe's (same prefix, same folder).
int Downloads() {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((TempFolder() + L"MMF*.tmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    do
        if (CompareFileTime(&entry.ftLastWriteTime, &Started) >= 0) ++count;
    while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

// What the internet library says for one of its codes, or the fallback when
// it has no text for it ("Error N", or ours for the codes that have one):
// the error line under "Error fetching".
std::string LibraryText(DWORD code, const char* ours = nullptr) {
    wchar_t text[1024] = {};
    HMODULE module = LoadLibraryW(L"wininet.dll");
    if (!FormatMessageW(0x1AFF, module, code, 0, text, 1024, nullptr))
        return ours ? ours : "Error " + std::to_string(code);
    std::wstring s = text;
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\r' || s.back() == L'\n')) s.pop_back();
    return Narrow(s);
}

// Bytes 00 01 .. ff 00 01 ..: what the servers' /bytes/N, /chunked/... and
// /drip/N send.
std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i & 0xFF);
    return bytes;
}

const std::string Bom = "\xEF\xBB\xBF";
const std::string Prefix = "Bytora plugin: ";
std::string Quoted(const std::wstring& name) { return "\xE2\x80\x9C" + Narrow(name) + "\xE2\x80\x9D"; }
// The child's standard input is an empty pipe, dumped first.
const std::string Prelude = Bom + "\r\nFile " + Quoted(L"-") + " is empty.\r\n";

// What /text.txt serves.
const std::string Text = "Gr\xC3\xBC\xC3\x9F" "e aus dem Netz: hex dump over HTTP.\r\n";

std::string Grouped(std::initializer_list<const char*> parts) {
    wchar_t separator[8] = L",";
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, separator, 8);
    std::string text;
    for (const char* part : parts) {
        if (!text.empty()) text += Narrow(separator);
        text += part;
    }
    return text;
}

// The test authority is trusted in the private prefix's root store while
// this program runs, and only then. The store is closed after each change:
// that is what writes it to the registry, where bytora.exe finds it.
class TrustedAuthority : public ::testing::Environment {
public:
    void SetUp() override {
        const char* path = getenv("BYTORA_TEST_CA");
        ASSERT_NE(path, nullptr) << "run through tests/url/run.sh";
        std::string der = ReadBytes(Widen(path));
        authority_ = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                  static_cast<DWORD>(der.size()));
        ASSERT_NE(authority_, nullptr);
        HCERTSTORE store = OpenRoot();
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(CertAddCertificateContextToStore(store, authority_, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        EXPECT_TRUE(CertCloseStore(store, 0));
    }
    void TearDown() override {
        if (!authority_) return;
        if (HCERTSTORE store = OpenRoot()) {
            // Bounded: a store that refuses the delete must not hang the run.
            for (int i = 0; i < 8; ++i) {
                PCCERT_CONTEXT found =
                    CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, authority_, nullptr);
                if (!found || !CertDeleteCertificateFromStore(found)) break;
            }
            CertCloseStore(store, 0);
        }
        CertFreeCertificateContext(authority_);
    }

private:
    // The user's own part of the root store, opened alone: deleting through
    // the combined view is not written back.
    static HCERTSTORE OpenRoot() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    }
    PCCERT_CONTEXT authority_ = nullptr;
};
const auto* const Authority = ::testing::AddGlobalTestEnvironment(new TrustedAuthority);

TEST(DownloadUrl, RejectsBadArgumentsAndOtherSchemesWithoutAFile) {
    wchar_t name[32768];
    const int before = Downloads();
    EXPECT_EQ(DownloadUrl(nullptr, name), -1);
    EXPECT_EQ(DownloadUrl(L"", name), -1);
    EXPECT_EQ(DownloadUrl(L"http://127.0.0.1/", nullptr), -1);
    EXPECT_EQ(DownloadUrl(L"gopher://127.0.0.1/x", name), -2);
    EXPECT_EQ(DownloadUrl(L"httpx://127.0.0.1/x", name), -2);
    EXPECT_EQ(Downloads(), before);
}

TEST(DownloadUrl, SendsTheAgentNameAndHandsTheFileToTheCaller) {
    wchar_t name[32768];
    ASSERT_EQ(DownloadUrl(Url(L"hTTp", "HTTP", L"/agent").c_str(), name), 0);
    const std::wstring file = name;
    EXPECT_EQ(file.substr(0, TempFolder().size() + 3), TempFolder() + L"MMF");
    EXPECT_EQ(ReadBytes(file), "Bytora v0.96.9");
    EXPECT_TRUE(DeleteFileW(name));
}

TEST(OpenInputAddress, TheDownloadLivesExactlyAsLongAsTheInput) {
    const int before = Downloads();
    InputSource s{};
    ASSERT_EQ(OpenInput(&s, Url(L"http", "HTTP", L"/text.txt").c_str(), 0x181, 0, 0), 0);
    ASSERT_NE(s.TempFileName, nullptr);
    EXPECT_NE(GetFileAttributesW(s.TempFileName), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Downloads(), before + 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Data), static_cast<size_t>(s.Size)), Text);
    EXPECT_EQ(s.Encoding, static_cast<uint32_t>(Utf8));
    ReleaseInput(&s);
    EXPECT_EQ(Downloads(), before);
}

// A download is dumped like a file of the same bytes; only the name differs.
std::string DumpOfFile(const std::string& bytes, const wchar_t* options) {
    std::wstring dir = MakeTempDir();
    WriteBytes(dir + L"\\page.txt", bytes);
    ChildResult r = RunBytora(std::wstring(options) + L" \"" + dir + L"\\page.txt\"");
    RemoveTree(dir);
    return r.out.substr(Prelude.size());
}

TEST(UrlDump, PagesAndFilesDumpWithTheirAddress) {
    const std::string lines = DumpOfFile(Text, L"");
    const std::string details = "  \xE2\x80\xA2  43 bytes    UTF-8 without BOM\r\n\r\n";
    // "FTP file\r\n": ten values, six blank places and the group blanks,
    // then the ten text columns (CR and LF as middle dots) and six blank ones.
    const std::string ftpLine = "00000000  46 54 50 20 66 69 6c 65  0d 0a" + std::string(20, ' ') + "FTP file" +
                                "\xC2\xB7\xC2\xB7" + std::string(6, ' ') + "\r\n";
    // 300113 bytes of 00 01 .. ff 00 ..: the last sixteen are 41..50.
    const std::string lastLine =
        "00049441  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\r\n";
    const std::wstring page = Url(L"http", "HTTP", L"/text.txt");
    const std::wstring secure = Url(L"HTTPS", "HTTPS", L"/text.txt");
    const std::wstring moved = Url(L"http", "HTTP", L"/redirect");
    const std::wstring ftp = Url(L"ftp", "FTP", L"/sub/file.txt");
    const std::wstring large = Url(L"http", "HTTP", L"/bytes/300113");
    const std::wstring permanent = Url(L"http", "HTTP", L"/308");
    const std::wstring chunked = Url(L"http", "HTTP", L"/chunked/whole");
    const std::wstring chunkedClose = Url(L"http", "HTTP", L"/chunked/whole-close");
    const std::wstring chunkedCutClose = Url(L"http", "HTTP", L"/chunked/cut-close");
    const struct {
        std::wstring args;
        std::string out;
    } cases[] = {
        {L"/HH " + page, "\r\nFile " + Quoted(page) + " :\r\n" + details + lines},
        {L"/HH " + secure, "\r\nFile " + Quoted(secure) + " :\r\n" + details + lines},
        {L"/HH " + moved, "\r\nFile " + Quoted(moved) + " :\r\n" + details + lines},
        {L"/I " + ftp, ftpLine + "\r\nDisplayed 10 bytes from " + Quoted(ftp) + ".\r\n"},
        {L"/HH /CP:437 /C:-16 " + large, "\r\nFile " + Quoted(large) + " :\r\n  \xE2\x80\xA2  " +
                                            Grouped({"300", "113"}) + " bytes  (293.1 kB)    OEM (code page 437)\r\n\r\n" +
                                            lastLine + "\r\n"},
        {L"/HH " + permanent, "\r\nFile " + Quoted(permanent) + " :\r\n" + details + lines},
        // Six chunks of 50000 bytes and the last, empty one.
        {chunked, DumpOfFile(Pattern(300000), L"")},
        {chunkedClose, DumpOfFile(Pattern(300000), L"")},
        // The limit: cut before the last chunk on a connection the server
        // said it would close, the body cannot be told from a whole one
        // under this library, and what came is dumped.
        {chunkedCutClose, DumpOfFile(Pattern(150000), L"")},
    };
    const int before = Downloads();
    for (const auto& c : cases) {
        ChildResult r = RunBytora(c.args);
        EXPECT_EQ(r.exitCode, 0u) << Narrow(c.args);
        EXPECT_EQ(r.err, "") << Narrow(c.args);
        EXPECT_EQ(r.out, Prelude + c.out) << Narrow(c.args);
    }
    EXPECT_EQ(Downloads(), before);
}

TEST(UrlDump, AddressesAndFilesDumpInTheOrderGiven) {
    std::wstring dir = MakeTempDir();
    WriteBytes(dir + L"\\local.bin", "local");
    const std::wstring page = Url(L"http", "HTTP", L"/text.txt");
    const std::wstring ftp = Url(L"ftp", "FTP", L"/sub/file.txt");
    ChildResult r = RunBytora(L"/H " + ftp + L" \"" + dir + L"\\local.bin\" " + page + L" " + ftp);
    RemoveTree(dir);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.err, "");
    size_t first = r.out.find("File " + Quoted(ftp));
    size_t local = r.out.find("local.bin\xE2\x80\x9D :");
    size_t second = r.out.find("File " + Quoted(page));
    size_t third = r.out.find("File " + Quoted(ftp), first + 1);
    EXPECT_LT(first, local);
    EXPECT_LT(local, second);
    EXPECT_LT(second, third);
    EXPECT_NE(third, std::string::npos) << r.out;
}

TEST(UrlDump, FailuresAreReportedAndLeaveNoDownload) {
    const std::wstring empty = Url(L"http", "HTTP", L"/empty");
    const std::string Invalid =
        LibraryText(ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server returned an invalid or unrecognized response.");
    const struct {
        std::wstring url;
        std::string error;  // the line under "Error fetching"; empty: no message
        DWORD exitCode;
    } cases[] = {
        {Url(L"http", "HTTP", L"/missing"), "HTTP error 404:  Not found", 2},
        {Url(L"HTTP", "HTTP", L"/500"), "HTTP error 500:  Internal error", 2},
        {Url(L"http", "CLOSED", L"/"), LibraryText(ERROR_INTERNET_CANNOT_CONNECT), 2},
        {L"http://nothing.invalid/", LibraryText(ERROR_INTERNET_NAME_NOT_RESOLVED), 2},
        // The server closes after 1000 of the 100000 bytes it announced.
        {Url(L"http", "HTTP", L"/cut"), LibraryText(ERROR_INTERNET_CONNECTION_ABORTED), 2},
        {Url(L"https", "UNTRUSTED", L"/text.txt"), LibraryText(ERROR_INTERNET_INVALID_CA), 2},
        {Url(L"ftp", "FTP", L"/sub/none.txt"), LibraryText(ERROR_INTERNET_EXTENDED_ERROR), 2},
        {Url(L"gopher", "HTTP", L"/text.txt"), "Error -2", 2},
        {empty, "", 0},
        // Cut before the last chunk, or inside a chunk.
        {Url(L"http", "HTTP", L"/chunked/cut"), LibraryText(ERROR_INTERNET_CONNECTION_ABORTED), 2},
        {Url(L"http", "HTTP", L"/chunked/inside"), LibraryText(ERROR_INTERNET_CONNECTION_ABORTED), 2},
        // The server sends part of the file, then answers 426.
        {Url(L"ftp", "FTP", L"/aborted.bin"), LibraryText(ERROR_INTERNET_CONNECTION_ABORTED), 2},
        // No reply at all, and a reply without a status line.
        {Url(L"http", "HTTP", L"/silent-close"), Invalid, 2},
        {Url(L"http", "HTTP", L"/not-http"), Invalid, 2},
        // Redirects that are not followed: the status is the answer.
        {Url(L"http", "HTTP", L"/308-nowhere"), "HTTP error 308:  Permanent redirect", 2},
        {Url(L"http", "HTTP", L"/300"), "HTTP error 300:  Multiple choices", 2},
        {Url(L"http", "HTTP", L"/to-file"), "HTTP error 302:  Found", 2},
        {Url(L"http", "HTTP", L"/loop-a"),
         LibraryText(ERROR_HTTP_REDIRECT_FAILED, "The request was redirected more than 10 times."), 2},
        {Url(L"https", "HTTPS", L"/to-plain"),
         LibraryText(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, "The secure address redirects to one that is not secure."), 2},
    };
    for (const auto& c : cases) {
        const int before = Downloads();
        ChildResult r = RunBytora(L"/HH " + c.url);
        EXPECT_EQ(r.exitCode, c.exitCode) << Narrow(c.url);
        if (c.error.empty()) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out, Prelude + "\r\nFile " + Quoted(c.url) + " is empty.\r\n");
        } else {
            EXPECT_EQ(r.err, Prefix + "Error fetching \"" + Narrow(c.url) + "\" :\r\n   " + c.error + "\r\n");
            EXPECT_EQ(r.out, Prelude) << Narrow(c.url);
        }
        EXPECT_EQ(Downloads(), before) << Narrow(c.url);
    }
}

// Raises Ctrl-C from another thread once the download has been running a while.
struct LateBreak {
    HANDLE thread = nullptr;
    std::chrono::steady_clock::time_point raised;
    LateBreak() { thread = CreateThread(nullptr, 0, &LateBreak::Run, this, 0, nullptr); }
    static DWORD WINAPI Run(void* self) {
        Sleep(400);
        static_cast<LateBreak*>(self)->raised = std::chrono::steady_clock::now();
        ConsoleCtrlHandler(CTRL_C_EVENT);
        return 0;
    }
    ~LateBreak() {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
};

DumpSettings HexBytes() {
    DumpSettings settings{};
    settings.WordLen = 1;
    settings.GroupWidth = 8;
    settings.HexWidth = 16;
    wcscpy(settings.LineEnding, L"\r\n");
    return settings;
}

// Ctrl-C in every phase of a download: connecting (to a server that never
// takes the connection), waiting for the reply, a body that trickles in, a
// chain of slow redirects, a long body.
TEST(UrlDump, CtrlCStopsEveryPhaseWithinASecondAndDeletesTheDownload) {
    const std::wstring phases[] = {
        Url(L"http", "STUCK", L"/"),         Url(L"http", "HTTP", L"/hang"), Url(L"http", "HTTP", L"/drip/100"),
        Url(L"http", "HTTP", L"/slow-loop"), Url(L"http", "HTTP", L"/slow"),
    };
    const int before = Downloads();
    for (const std::wstring& url : phases) {
        DumpSettings settings = HexBytes();
        LateBreak ctrlC;
        Captured c = CaptureOutput([&] { return DumpInput(url.c_str(), DF_SHOW_NAME, &settings); });
        auto stopped = std::chrono::steady_clock::now();
        WaitForSingleObject(ctrlC.thread, 10000);
        EXPECT_EQ(c.result, -3) << Narrow(url);
        EXPECT_EQ(c.err, L"") << Narrow(url);
        EXPECT_EQ(c.outBytes, "") << Narrow(url);
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(stopped - ctrlC.raised).count(), 1000)
            << Narrow(url);
        EXPECT_EQ(Downloads(), before) << Narrow(url);
    }
    // The break of an address stops the walk with -3, so the run ends with 3.
    {
        const std::wstring slow = Url(L"http", "HTTP", L"/slow");
        DumpSettings settings = HexBytes();
        LateBreak ctrlC;
        Captured c = CaptureOutput(
            [&] { return FileHandler(slow.c_str(), 0, &settings, DumpInput, 0xEC00, 0x10, 0, nullptr, 0, -1); });
        EXPECT_EQ(c.result, -3);
        EXPECT_EQ(c.err, L"");
    }
    EXPECT_EQ(Downloads(), before);
    BreakRequested = 0;
}

// The silence limit, shortened: a server that never answers, never takes
// the connection, or stops in the middle of the body fails with the
// library's time-out once the limit has passed; one that sends a byte every
// 0.4 s for longer than the limit is not cut off.
TEST(FetchUrl, SilenceEndsTheDownloadButSlownessDoesNot) {
    const DWORD limit = 1500;
    const struct {
        std::wstring url;
        int result;
    } cases[] = {
        {Url(L"http", "HTTP", L"/hang"), ERROR_INTERNET_TIMEOUT},
        {Url(L"http", "STUCK", L"/"), ERROR_INTERNET_TIMEOUT},
        // Stops after a little, and after enough to be read at full speed.
        {Url(L"http", "HTTP", L"/stall/100"), ERROR_INTERNET_TIMEOUT},
        {Url(L"http", "HTTP", L"/stall/200000"), ERROR_INTERNET_TIMEOUT},
        {Url(L"http", "HTTP", L"/drip/6"), 0},
    };
    const int before = Downloads();
    for (const auto& c : cases) {
        wchar_t name[32768];
        HANDLE file = nullptr;
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(FetchUrl(c.url.c_str(), name, &file, limit), c.result) << Narrow(c.url);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        if (c.result) {
            EXPECT_GE(ms.count(), limit) << Narrow(c.url);
            EXPECT_LT(ms.count(), limit + 1000) << Narrow(c.url);
            EXPECT_EQ(file, nullptr);
        } else {
            // Six bytes 0.4 s apart: longer than the limit in all.
            EXPECT_GE(ms.count(), 2000) << Narrow(c.url);
            ASSERT_NE(file, nullptr);
            EXPECT_EQ(ReadBytes(name), Pattern(6));
            CloseHandle(file);  // the download goes with its handle
        }
        EXPECT_EQ(Downloads(), before) << Narrow(c.url);
    }
}

// The reference with every character but letters, digits and "-._~"
// percent-escaped: a query value that reaches the server as it is.
std::wstring Escaped(const std::wstring& reference) {
    std::wstring text;
    for (wchar_t ch : reference) {
        if (iswalnum(ch) || wcschr(L"-._~", ch)) {
            text += ch;
        } else {
            wchar_t hex[4];
            swprintf(hex, 4, L"%%%02X", static_cast<unsigned>(ch));
            text += hex;
        }
    }
    return text;
}

// Addresses of the echo server's /e/ and /hops/ (tests/url/servers.py): each
// run dumps the request target the server received, or fails with the error
// line given; a failure dumps nothing. No download is left either way.
struct Fetch {
    std::wstring url;
    std::string sent;   // the request target; empty: a failure
    std::string error;  // the line under "Error fetching"
};

void ExpectFetches(std::initializer_list<Fetch> fetches) {
    for (const Fetch& f : fetches) {
        const int before = Downloads();
        ChildResult r = RunBytora(f.url);
        const std::string shown = Narrow(f.url).substr(0, 80);
        if (f.error.empty()) {
            EXPECT_EQ(r.exitCode, 0u) << shown;
            EXPECT_EQ(r.err, "") << shown;
            EXPECT_EQ(r.out, Prelude + DumpOfFile(f.sent, L"")) << shown;
        } else {
            EXPECT_EQ(r.exitCode, 2u) << shown;
            EXPECT_EQ(r.err, Prefix + "Error fetching \"" + Narrow(f.url) + "\" :\r\n   " + f.error + "\r\n") << shown;
            EXPECT_EQ(r.out, Prelude) << shown;
        }
        EXPECT_EQ(Downloads(), before) << shown;
    }
}

const std::string InvalidUrl = LibraryText(ERROR_INTERNET_INVALID_URL);

// "to=" makes the server's answer a redirect to the reference.
std::wstring RedirectTo(const wchar_t* from, const std::wstring& reference) {
    return Url(L"http", "HTTP", from) + L"to=" + Escaped(reference);
}

TEST(UrlRedirect, TargetsAreResolvedAndNoFragmentIsSent) {
    ExpectFetches({
        // A query alone replaces the query of the same resource.
        {RedirectTo(L"/e/qbase/page?x=1&", L"?x=2"), "/e/qbase/page?x=2", ""},
        // Dot segments, above the root too, a fragment, a network-path
        // reference and a full address of its own.
        {RedirectTo(L"/e/b/c/d;p?", L"/../e/g"), "/e/g", ""},
        {RedirectTo(L"/e/b/c/d;p?", L"./g/."), "/e/b/c/g/", ""},
        {RedirectTo(L"/e/b/c/d;p?", L"../../../../e/g#s"), "/e/g", ""},
        {RedirectTo(L"/e/b/c/d;p?", L"g;x=1/../y?z#s/../x"), "/e/b/c/y?z", ""},
        {RedirectTo(L"/e/b/c/d;p?", L"//127.0.0.1:{HTTP}/e/./net"), "/e/net", ""},
        {RedirectTo(L"/e/b/c/d;p?", L"HTTP://127.0.0.1:{HTTP}/e/x/../abs"), "/e/abs", ""},
        // Typed addresses keep their fragments and dot segments home too.
        {Url(L"http", "HTTP", L"/e/typed#part"), "/e/typed", ""},
        {Url(L"http", "HTTP", L"/e/x/../typed?q=1#part"), "/e/typed?q=1", ""},
    });
}

TEST(UrlRedirect, ToAnIpv6Literal) {
    if (Port("HTTP6").empty()) GTEST_SKIP() << "no IPv6 loopback address (::1) here: IPv6 targets not tested";
    ExpectFetches({
        {L"http://[::1]:" + Port("HTTP6") + L"/e/typed", "/e/typed", ""},
        {RedirectTo(L"/e/v6?", L"http://[::1]:{HTTP6}/e/moved"), "/e/moved", ""},
    });
}

// Exactly ten redirects are followed; the eleventh is one too many.
TEST(UrlRedirect, TenAreFollowedAndElevenAreTooMany) {
    ExpectFetches({
        {Url(L"http", "HTTP", L"/hops/10"), "/hops/0", ""},
        {Url(L"http", "HTTP", L"/hops/11"), "",
         LibraryText(ERROR_HTTP_REDIRECT_FAILED, "The request was redirected more than 10 times.")},
    });
}

// An address of the echo server of exactly length characters: path, then
// as many letters a as it takes, then tail.
std::wstring LongUrl(const wchar_t* path, size_t length, const std::wstring& tail = L"") {
    std::wstring url = Url(L"http", "HTTP", path);
    return url + std::wstring(length - url.size() - tail.size(), L'a') + tail;
}

// What the echo server receives for an address of its own.
std::string Target(const std::wstring& url) { return Narrow(url.substr(Url(L"http", "HTTP", L"").size())); }

TEST(UrlLength, LongAddressesAndTargetsUpToTheLimit) {
    // The command takes 8,190 characters as its only argument.
    const std::wstring typed = LongUrl(L"/e/", 8190);
    const std::wstring server = L"@127.0.0.1:" + Port("FTP") + L"/sub/file.txt";
    const std::wstring ftp = L"ftp://anonymous:" + std::wstring(8190 - 16 - server.size(), L'p') + server;
    const std::wstring credentials = L"http://user:" + std::wstring(300, L'p') + L"@127.0.0.1:" + Port("HTTP");
    // Targets as the server wrote them: this library keeps 4,084
    // characters of a Location for certain (4,095 bytes of its line).
    const std::wstring whole = LongUrl(L"/e/", 4084), cut = LongUrl(L"/e/", 4085), longer = LongUrl(L"/e/", 6000);
    // A query of 4,000 letters after a long address: a target of 8,191
    // characters, or one more.
    const std::wstring grown = LongUrl(L"/e/", 8191 - 4001), overgrown = LongUrl(L"/e/", 8192 - 4001);
    ExpectFetches({
        {typed, Target(typed), ""},
        {ftp, "FTP file\r\n", ""},
        {credentials + L"/e/cred", "/e/cred", ""},
        {RedirectTo(L"/e/l?", whole), Target(whole), ""},
        {RedirectTo(L"/e/l?", cut), "", InvalidUrl},
        {RedirectTo(L"/e/l?", longer), "", InvalidUrl},
        {grown + L"?grow=4000", Target(grown) + "?" + std::string(4000, 'q'), ""},
        {overgrown + L"?grow=4000", "", InvalidUrl},
    });
}

// The limit itself, which the command line cannot reach.
TEST(FetchUrl, AddressesOf8191CharactersAreFetched) {
    const int before = Downloads();
    const std::wstring longest = LongUrl(L"/e/", 8191), over = LongUrl(L"/e/", 8192);
    wchar_t name[32768];
    HANDLE file = nullptr;
    ASSERT_EQ(FetchUrl(longest.c_str(), name, &file, DownloadSilenceLimit), 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadBytes(name), Target(longest));
    CloseHandle(file);
    EXPECT_EQ(FetchUrl(over.c_str(), name, &file, DownloadSilenceLimit), ERROR_INTERNET_INVALID_URL);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(Downloads(), before);
}

// Milliseconds since start.
long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The body is exactly the announced length: bytes that come after it are
// neither dumped nor waited for, whether the server closes or keeps the
// connection.
TEST(UrlDump, TheBodyIsExactlyTheAnnouncedLength) {
    const struct {
        const wchar_t* path;
        std::string body;  // empty: the resource is empty
    } cases[] = {
        {L"/over/5/close", "HELLO"},
        {L"/over/5/open", "HELLO"},
        {L"/over/0/close", ""},
        {L"/over/0/open", ""},
    };
    const int before = Downloads();
    for (const auto& c : cases) {
        const std::wstring url = Url(L"http", "EDGES", c.path);
        const auto started = std::chrono::steady_clock::now();
        ChildResult r = RunBytora(url);
        // Well short of the 30 s silence limit.
        EXPECT_LT(MsSince(started), 10000) << Narrow(url);
        EXPECT_EQ(r.exitCode, 0u) << Narrow(url);
        EXPECT_EQ(r.err, "") << Narrow(url);
        const std::string dump =
            c.body.empty() ? "\r\nFile " + Quoted(url) + " is empty.\r\n" : DumpOfFile(c.body, L"");
        EXPECT_EQ(r.out, Prelude + dump) << Narrow(url);
    }
    EXPECT_EQ(Downloads(), before);
}

// Which header decides the body's length, by HTTP's rules: a transfer coding
// over any Content-Length, "chunked" the only coding undone, a length that
// is one number (or a list or lines repeating it), none for a 204, the end
// of the connection when there is neither. Broken framing dumps nothing.
TEST(UrlDump, TheBodysLengthFollowsHttpsRules) {
    const std::string Invalid =
        LibraryText(ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server returned an invalid or unrecognized response.");
    const std::string Coding = "The body is in a transfer coding that cannot be undone: ";
    const std::string Length = "The length of the body is not one number: ";
    const struct {
        const wchar_t* name;
        const char* body;   // what is dumped; null: the input is empty
        std::string error;  // the line under "Error fetching"; empty: none
    } cases[] = {
        {L"length", "HELLO WORLD!", ""},
        {L"chunked", "HELLO WORLD!", ""},
        {L"chunked-caps", "HELLO WORLD!", ""},
        {L"both", "HELLO WORLD!", ""},
        {L"equal-list", "HELLO WORLD!", ""},
        {L"equal-lines", "HELLO WORLD!", ""},
        {L"unsized", "HELLO WORLD!", ""},
        {L"old-unsized", "HELLO WORLD!", ""},
        {L"no-content", nullptr, ""},
        {L"gzip-chunked", "", Coding + "\"gzip, chunked\"."},
        {L"coding-lines", "", Coding + "\"gzip, chunked\"."},
        {L"old-chunked", "", Invalid},
        {L"length-letters", "", Length + "\"5abc\"."},
        {L"length-sign", "", Length + "\"+5\"."},
        {L"length-list", "", Length + "\"5, 12\"."},
        {L"length-lines", "", Length + "\"5, 12\"."},
    };
    for (const auto& c : cases) {
        const std::wstring url = Url(L"http", "EDGES", (std::wstring(L"/framing/") + c.name).c_str());
        const int before = Downloads();
        ChildResult r = RunBytora(url);
        EXPECT_EQ(r.exitCode, c.error.empty() ? 0u : 2u) << Narrow(url);
        const std::string err =
            c.error.empty() ? "" : Prefix + "Error fetching \"" + Narrow(url) + "\" :\r\n   " + c.error + "\r\n";
        EXPECT_EQ(r.err, err) << Narrow(url);
        const std::string dump = !c.body ? "\r\nFile " + Quoted(url) + " is empty.\r\n"
                                 : *c.body ? DumpOfFile(c.body, L"")
                                           : "";
        EXPECT_EQ(r.out, Prelude + dump) << Narrow(url);
        EXPECT_EQ(Downloads(), before) << Narrow(url);
    }
}

// An FTP server that pauses between pieces of a file, or before its first
// byte, is waited for: only silence as long as the limit ends a download.
// Its reply after the file still decides, although the library then reads
// it on a thread of its own.
TEST(UrlDump, FtpDataThatPausesIsWaitedFor) {
    const struct {
        const wchar_t* path;
        long long pausesMs;  // what the server waits in all
        bool whole;          // or given up by the server after 1000 bytes
    } cases[] = {
        {L"/steps.bin", 10 + 100 + 300 + 1000, true},
        {L"/late.bin", 500, true},
        {L"/late-aborted.bin", 500, false},
    };
    const std::string dump = DumpOfFile(Pattern(5000), L"");
    const int before = Downloads();
    for (const auto& c : cases) {
        const std::wstring url = Url(L"ftp", "FTP_PAUSED", c.path);
        const auto started = std::chrono::steady_clock::now();
        ChildResult r = RunBytora(url);
        const long long ms = MsSince(started);
        EXPECT_GE(ms, c.pausesMs) << Narrow(url);
        EXPECT_LT(ms, c.pausesMs + 10000) << Narrow(url);
        if (c.whole) {
            EXPECT_EQ(r.exitCode, 0u) << Narrow(url);
            EXPECT_EQ(r.err, "") << Narrow(url);
            EXPECT_EQ(r.out, Prelude + dump) << Narrow(url);
        } else {
            EXPECT_EQ(r.exitCode, 2u) << Narrow(url);
            EXPECT_EQ(r.err, Prefix + "Error fetching \"" + Narrow(url) + "\" :\r\n   " +
                                 LibraryText(ERROR_INTERNET_CONNECTION_ABORTED) + "\r\n");
            EXPECT_EQ(r.out, Prelude) << Narrow(url);
        }
    }
    EXPECT_EQ(Downloads(), before);
}

// A body that comes in a burst (read in whole pieces from then on) and then
// trickles on for longer than the silence limit, each pause shorter than
// it, is not cut off: the wait for a whole piece is watched by the
// library's own time-out, which sees every byte.
TEST(FetchUrl, ABurstThenATrickleIsNotCutOff) {
    const DWORD limit = 1500;
    const std::wstring url = Url(L"http", "EDGES", L"/burst-trickle");
    const int before = Downloads();
    wchar_t name[32768];
    HANDLE file = nullptr;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchUrl(url.c_str(), name, &file, limit), 0);
    // Eight pauses of 0.3 s.
    EXPECT_GE(MsSince(started), 2400);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadBytes(name), Pattern(65536 + 8 * 1024));
    CloseHandle(file);
    EXPECT_EQ(Downloads(), before);
}

}  // namespace
