#include "transport/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/os_error.hpp"

namespace zelto {
namespace {

TEST(ServerErrorDisplay, EveryKindHasItsFixedText) {
    using K = ServerError::Kind;
    EXPECT_EQ((ServerError{K::Backend, "gpu", {}}).display(), "Backend error: gpu");
    EXPECT_EQ((ServerError{K::InvalidInput, "Unsupported dtype: int8", {}}).display(),
              "Invalid input: Unsupported dtype: int8");
    EXPECT_EQ((ServerError{K::ModelNotLoaded, "ignored", {}}).display(), "Model not loaded");
    EXPECT_EQ((ServerError{K::Overloaded, "busy", {}}).display(), "System overloaded: busy");
    EXPECT_EQ((ServerError{K::ModelLoad, "resnet", "file missing"}).display(),
              "Model load error for resnet: file missing");
    EXPECT_EQ((ServerError{K::Inference, "nan", {}}).display(), "Inference error: nan");
    EXPECT_EQ((ServerError{K::Timeout, "5s", {}}).display(), "Timeout: 5s");
    EXPECT_EQ((ServerError{K::ResourceExhausted, "vram", {}}).display(),
              "Resource exhausted: vram");
    EXPECT_EQ((ServerError{K::Cancelled, "", {}}).display(), "Cancelled: ");
}

#ifdef _WIN32
// Windows' codes are spelled out here: the test includes no system header.
TEST(OsError, TextIsTheSystemMessageOnOneLineAndCategoryFollowsTheCode) {
    constexpr int kFileNotFound = 2, kBrokenPipe = 109, kPipeBusy = 231;
    constexpr int kConnectionRefused = 10061;
    IoError e = platform::os_error(kFileNotFound);
    EXPECT_TRUE(e.message.ends_with(" (os error 2)")) << e.message;
    EXPECT_GT(e.message.size(), std::string_view(" (os error 2)").size()) << e.message;
    EXPECT_EQ(e.message.find_first_of("\r\n"), std::string::npos) << e.message;
    EXPECT_EQ(e.category, IoCategory::NotFound);
    EXPECT_EQ(platform::os_error(kConnectionRefused).category, IoCategory::ConnectionRefused);
    EXPECT_EQ(platform::os_error(kBrokenPipe).category, IoCategory::BrokenPipe);
    EXPECT_EQ(platform::os_error(kPipeBusy).category, IoCategory::WouldBlock);
}
#else
TEST(OsError, TextEndsWithTheErrorNumberAndCategoryFollowsErrno) {
    IoError e = platform::os_error(ENOENT);
    EXPECT_EQ(e.message, "No such file or directory (os error 2)");
    EXPECT_EQ(e.category, IoCategory::NotFound);
    EXPECT_EQ(platform::os_error(ECONNREFUSED).message, "Connection refused (os error 111)");
    EXPECT_EQ(platform::os_error(EPIPE).category, IoCategory::BrokenPipe);
    EXPECT_EQ(platform::os_error(EAGAIN).category, IoCategory::WouldBlock);
    EXPECT_EQ(platform::os_error(EHOSTUNREACH).category, IoCategory::Other);
}
#endif

}  // namespace
}  // namespace zelto
