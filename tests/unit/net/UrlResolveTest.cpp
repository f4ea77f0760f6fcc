// Where a redirect's target leads: the examples of RFC 3986 section 5.4
// against its base, and what a request leaves out of an address.
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>
#include <string>
#include "TestSupport.h"
#include "net/Net.h"

namespace {

std::wstring Resolved(const wchar_t* base, const wchar_t* reference, size_t units = MaxUrlLength + 1) {
    std::wstring target(units, L'?');
    if (ResolveUrl(base, reference, target.data(), units) != 0) return L"(invalid)";
    return target.c_str();
}

TEST(ResolveUrl, TheExamplesOfTheRfc) {
    const wchar_t* const Base = L"http://a/b/c/d;p?q";
    const struct {
        const wchar_t* reference;
        const wchar_t* target;
    } cases[] = {
        // Normal examples.
        {L"g:h", L"g:h"},
        {L"g", L"http://a/b/c/g"},
        {L"./g", L"http://a/b/c/g"},
        {L"g/", L"http://a/b/c/g/"},
        {L"/g", L"http://a/g"},
        {L"//g", L"http://g"},
        {L"?y", L"http://a/b/c/d;p?y"},
        {L"g?y", L"http://a/b/c/g?y"},
        {L"#s", L"http://a/b/c/d;p?q#s"},
        {L"g#s", L"http://a/b/c/g#s"},
        {L"g?y#s", L"http://a/b/c/g?y#s"},
        {L";x", L"http://a/b/c/;x"},
        {L"g;x", L"http://a/b/c/g;x"},
        {L"g;x?y#s", L"http://a/b/c/g;x?y#s"},
        {L"", L"http://a/b/c/d;p?q"},
        {L".", L"http://a/b/c/"},
        {L"./", L"http://a/b/c/"},
        {L"..", L"http://a/b/"},
        {L"../", L"http://a/b/"},
        {L"../g", L"http://a/b/g"},
        {L"../..", L"http://a/"},
        {L"../../", L"http://a/"},
        {L"../../g", L"http://a/g"},
        // Abnormal examples: above the root, dots inside names, dot
        // segments in the middle, in a query or a fragment.
        {L"../../../g", L"http://a/g"},
        {L"../../../../g", L"http://a/g"},
        {L"/./g", L"http://a/g"},
        {L"/../g", L"http://a/g"},
        {L"g.", L"http://a/b/c/g."},
        {L".g", L"http://a/b/c/.g"},
        {L"g..", L"http://a/b/c/g.."},
        {L"..g", L"http://a/b/c/..g"},
        {L"./../g", L"http://a/b/g"},
        {L"./g/.", L"http://a/b/c/g/"},
        {L"g/./h", L"http://a/b/c/g/h"},
        {L"g/../h", L"http://a/b/c/h"},
        {L"g;x=1/./y", L"http://a/b/c/g;x=1/y"},
        {L"g;x=1/../y", L"http://a/b/c/y"},
        {L"g?y/./x", L"http://a/b/c/g?y/./x"},
        {L"g?y/../x", L"http://a/b/c/g?y/../x"},
        {L"g#s/./x", L"http://a/b/c/g#s/./x"},
        {L"g#s/../x", L"http://a/b/c/g#s/../x"},
        // The lenient reading, as browsers have it; the scheme's case does not matter.
        {L"http:g", L"http://a/b/c/g"},
        {L"HTTP:g", L"http://a/b/c/g"},
    };
    for (const auto& c : cases) EXPECT_EQ(Resolved(Base, c.reference), c.target) << Narrow(c.reference);
}

TEST(ResolveUrl, AuthoritiesEmptyPathsAndLimits) {
    const struct {
        const wchar_t* base;
        const wchar_t* reference;
        size_t units;
        const wchar_t* target;
    } cases[] = {
        // An IPv6 literal is an authority like any other.
        {L"http://127.0.0.1:81/a/b", L"http://[::1]:8080/x", 64, L"http://[::1]:8080/x"},
        {L"http://[::1]:8080/a/b", L"../c", 64, L"http://[::1]:8080/c"},
        // The root of an address that ends at its authority.
        {L"http://a", L"g", 64, L"http://a/g"},
        {L"http://a?q", L"?y", 64, L"http://a?y"},
        // Without a base, the address itself without its dot segments.
        {nullptr, L"ftp://u:p@a/./b/../c/.", 64, L"ftp://u:p@a/c/"},
        {nullptr, L"g", 64, L"(invalid)"},
        // A path without a leading "/" loses its leading dot segments whole.
        {nullptr, L"g:../x", 64, L"g:x"},
        {nullptr, L"g:./..", 64, L"g:"},
        {L"http://a/b", L"1x:y", 64, L"http://a/1x:y"},
        // The target and its terminator fill the space exactly, or need one more.
        {L"http://a/b/c", L"dd", 14, L"http://a/b/dd"},
        {L"http://a/b/c", L"ddd", 14, L"(invalid)"},
        // Dot segments go before the length counts.
        {L"http://a/b/c", L"x/../../dd", 14, L"http://a/dd"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Resolved(c.base, c.reference, c.units), c.target) << Narrow(c.reference) << " " << c.units;
}

TEST(RequestUrl, LeavesOutTheFragmentAndGivesTheRoot) {
    const struct {
        const wchar_t* base;
        const wchar_t* reference;
        size_t units;
        const wchar_t* target;
        uint32_t result;
    } cases[] = {
        {nullptr, L"http://a/b#frag", 64, L"http://a/b", 0},
        {L"http://a/b?q#f", L"c#s/../x", 64, L"http://a/c", 0},
        {L"http://a/b#f", L"?y", 64, L"http://a/b?y", 0},
        {nullptr, L"http://a#f", 64, L"http://a/", 0},
        {nullptr, L"https://a?x", 64, L"https://a/?x", 0},
        {nullptr, L"http://ab", 11, L"http://ab/", 0},
        {nullptr, L"http://abc", 11, L"", ERROR_INTERNET_INVALID_URL},
    };
    for (const auto& c : cases) {
        std::wstring target(c.units, L'?');
        EXPECT_EQ(RequestUrl(c.base, c.reference, target.data(), c.units), c.result) << Narrow(c.reference);
        EXPECT_EQ(std::wstring(target.c_str()), c.target) << Narrow(c.reference);
    }
}

}  // namespace
