// The error shown for a path: what the system gave, unless it says less than
// what happened (a general failure on a name beyond the classic limit, a
// socket taken for a missing device).
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "input/Input.h"

namespace {

TEST(PathError, NamesWhatHappened) {
    const std::wstring shortest(MAX_PATH - 1, L'a'), limit(MAX_PATH, L'a');
    const struct {
        uint32_t given;
        const std::wstring& path;
        uint32_t shown;
    } cases[] = {
        {ERROR_GEN_FAILURE, shortest, ERROR_GEN_FAILURE},
        {ERROR_GEN_FAILURE, limit, ERROR_FILENAME_EXCED_RANGE},
        {433, shortest, ERROR_CANT_ACCESS_FILE},  // ERROR_NO_SUCH_DEVICE
        {ERROR_PATH_NOT_FOUND, limit, ERROR_PATH_NOT_FOUND},
        {ERROR_ACCESS_DENIED, shortest, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.shown, PathError(c.given, c.path.c_str())) << c.given << " " << c.path.size();
}

}  // namespace
