// `tesselwick list` end to end on simulated Macs inside sim/sandbox: the real
// runner, the real tool paths, the simulator answering as diskutil and hdiutil.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string readFile(const fs::path& path) {
    std::ifstream stream(path);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

class ListSandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path source(TESSELWICK_SOURCE_DIR);
        sandbox_ = source / "sim" / "sandbox";
        worlds_ = source / "sim" / "worlds";
        macsim_ = fs::path(TESSELWICK_BINARY_DIR) / "bin" / "macsim";
        scratch_ = fs::temp_directory_path() /
                   ("tesselwick-list-sandbox-" + std::to_string(std::random_device{}()));
        fs::create_directories(scratch_);
        if (!fs::exists(sandbox_) || !fs::exists(macsim_)) {
            GTEST_SKIP() << "the simulator (sim/sandbox and macsim) is not built here";
        }
        const Result check = run(sandbox_.string() + " --check");
        if (check.status != 0) {
            GTEST_SKIP() << check.err;
        }
    }
    void TearDown() override { fs::remove_all(scratch_); }

    Result run(const std::string& command, const std::string& environment = "") {
        const fs::path errPath = scratch_ / "stderr";
        const std::string line = environment + " " + command + " 2>" + quote(errPath.string());
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(line.c_str(), "r"), pclose);
        Result result;
        std::array<char, 4096> buffer{};
        for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
            result.out.append(buffer.data(), n);
        }
        const int status = pclose(pipe.release());
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = readFile(errPath);
        return result;
    }

    Result list(const std::string& world, const std::string& environment = "") {
        return run(quote(sandbox_.string()) + " --world " + quote((worlds_ / world).string()) +
                       " --macsim " + quote(macsim_.string()) + " -- " +
                       quote(TESSELWICK_CLI_PATH) + " list --json",
                   environment);
    }

    fs::path sandbox_;
    fs::path worlds_;
    fs::path macsim_;
    fs::path scratch_;
};

// The JSON objects of `list --json` by identifier, each as its text.
std::map<std::string, std::string> objectsById(const std::string& json) {
    std::map<std::string, std::string> objects;
    for (std::size_t start = json.find("  {\n"); start != std::string::npos;
         start = json.find("  {\n", start + 1)) {
        const std::size_t end = json.find("\n  }", start);
        const std::string object = json.substr(start, end - start);
        const std::string key = "\"id\": \"";
        const std::size_t id = object.find(key) + key.size();
        objects[object.substr(id, object.find('"', id) - id)] = object;
    }
    return objects;
}

} // namespace

TEST_F(ListSandboxTest, MultiBootMac) {
    const Result r = list("multiboot.json");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto objects = objectsById(r.out);
    ASSERT_TRUE(objects.contains("disk0s1")) << r.out;
    const std::string& boot = objects.at("disk0s1");
    // The APFS boot disk is recognised through its container, and its mounted
    // ESP's bootloader is read from the real folder the simulator mounted.
    EXPECT_NE(boot.find("\"bootRole\": \"Boot Disk\""), std::string::npos) << boot;
    EXPECT_NE(boot.find("\"bootloader\": \"OC\""), std::string::npos) << boot;
    EXPECT_NE(boot.find("\"installedOS\": \"macOS\""), std::string::npos) << boot;
    int images = 0;
    for (const auto& [id, object] : objects) {
        images += object.find("\"isDiskImage\": true") != std::string::npos ? 1 : 0;
        EXPECT_NE(object.find("\"filesystem\": \""), std::string::npos);
    }
    EXPECT_GE(images, 1);
    EXPECT_TRUE(r.out.starts_with("[\n  {\n    \"id\": \"disk0s1\"")) << "boot disk listed first";
}

TEST_F(ListSandboxTest, BrokenPartitionListIsServedByTheTextFallback) {
    const Result plist = list("multiboot.json");
    const Result text = list("broken-list.json");
    ASSERT_EQ(text.status, 0) << text.err;
    std::vector<std::string> plistIds;
    std::vector<std::string> textIds;
    for (const auto& [id, object] : objectsById(plist.out)) {
        plistIds.push_back(id);
    }
    for (const auto& [id, object] : objectsById(text.out)) {
        textIds.push_back(id);
    }
    EXPECT_EQ(textIds, plistIds);
}

TEST_F(ListSandboxTest, LargeMachineAsksEachQuestionOnce) {
    const fs::path log = scratch_ / "macsim.log";
    const Result r = list("large.json", "MACSIM_LOG=" + quote(log.string()));
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> counts;
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t argv = line.find("\"argv\":");
        ASSERT_NE(argv, std::string::npos) << line;
        ++counts[line.substr(argv, line.find(']', argv) - argv)];
    }
    ASSERT_FALSE(counts.empty());
    for (const auto& [command, count] : counts) {
        EXPECT_EQ(count, 1) << command;
    }
}
