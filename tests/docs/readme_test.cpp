// The README shows the host-app example in full; it must stay the code that
// `make demo` builds and runs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

TEST(Readme, HostAppExampleIsTheExampleProgram) {
    const std::string readme = slurp(ORVALIS_README);
    const std::string program = slurp(ORVALIS_HOST_APP);
    ASSERT_FALSE(program.empty());
    const std::string begin = "<!-- host-app:begin -->\n```cpp\n";
    const std::string end = "```\n<!-- host-app:end -->";
    auto b = readme.find(begin);
    auto e = readme.find(end);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(e, std::string::npos);
    b += begin.size();
    ASSERT_LE(b, e);
    EXPECT_EQ(readme.substr(b, e - b), program);
}
