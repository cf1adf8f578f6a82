// The shared base every layer builds on: Result and the handle owner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/c_handle.h"
#include "inventory/result.h"

namespace kestrune {
namespace {

Result<int> parse(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return fail("'" + text + "' is not a number");
    }
    return std::stoi(text);
}

TEST(SharedBase, ResultCarriesAValueOrTheReason) {
    const Result<int> good = parse("42");
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 42);
    const Result<int> bad = parse("4x");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "'4x' is not a number");
    const Status done;
    const Status failed = fail("disk full");
    EXPECT_TRUE(done.ok());
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), "disk full");
}

std::vector<int> closed;
struct FakeFdPolicy {
    using Handle = int;
    static int invalid() { return -1; }
    static void close(int fd) { closed.push_back(fd); }
};
using FakeFd = UniqueHandle<FakeFdPolicy>;

TEST(SharedBase, HandleOwnerClosesEachValidHandleOnce) {
    closed.clear();
    {
        FakeFd none;
        FakeFd zero(0);  // 0 is a valid descriptor: only -1 is not
        FakeFd a(3);
        FakeFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_FALSE(none);
        FakeFd c(5);
        c = std::move(b);  // 5 closes now, 3 moves in
        EXPECT_EQ(closed, std::vector<int>{5});
        FakeFd d(7);
        EXPECT_EQ(d.release(), 7);  // released: its new owner closes it
        c.reset(9);
        EXPECT_EQ(closed, (std::vector<int>{5, 3}));
    }
    EXPECT_EQ(closed, (std::vector<int>{5, 3, 9, 0}));
}

}  // namespace
}  // namespace kestrune
