#include "Tools.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace macsim {

namespace {

Output fail(const std::string& message, int status = 1) {
    return {"", message + "\n", status};
}

std::string notFound(const std::string& id) {
    return "Could not find disk: " + id;
}

// The error dictionary the real tool prints for -plist requests about unknown devices.
std::string errorPlist(const std::string& message) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n    <key>Error</key>\n    <true/>\n"
           "    <key>ErrorMessage</key>\n    <string>" +
           message +
           "</string>\n    <key>ExitCode</key>\n    <integer>1</integer>\n</dict>\n</plist>\n";
}

} // namespace

Output diskutil(Machine& machine, const Args& args, unsigned realUid) {
    const std::string usage = "Usage:  diskutil [quiet] <verb> <options>, where <verb> is one of: "
                              "list, info, mount, unmount (simulated)";
    if (args.empty()) {
        return fail(usage);
    }
    const std::string& verb = args[0];
    bool plist = args.size() > 1 && args[1] == "-plist";
    std::size_t first = plist ? 2 : 1;
    std::optional<std::string> target;
    if (args.size() > first) {
        target = args[first];
    }
    if (args.size() > first + 1) {
        return fail(usage);
    }
    std::optional<Device> device;
    if (target) {
        device = machine.find(*target);
        if (!device) {
            Output out = fail(notFound(*target));
            if (plist) {
                out.out = errorPlist(notFound(*target));
            }
            return out;
        }
    }
    try {
        if (verb == "list") {
            std::optional<Device> whole;
            if (device) {
                // A partition or volume lists the table of the disk that holds it.
                std::string wholeId = device->id.substr(0, device->id.find('s', 4));
                whole = machine.find(wholeId);
            }
            if (plist) {
                return {toXmlPlist(machine.listPlist(whole)), "", 0};
            }
            return {machine.listText(whole), "", 0};
        }
        if (verb == "info") {
            if (!device) {
                return fail(usage);
            }
            if (plist) {
                return {toXmlPlist(machine.infoPlist(*device)), "", 0};
            }
            return {machine.infoText(*device), "", 0};
        }
        if ((verb == "mount" || verb == "unmount" || verb == "umount") && !plist) {
            if (!device) {
                return fail(usage);
            }
            return {verb == "mount" ? machine.mount(*device, realUid)
                                    : machine.unmount(*device, realUid),
                    "", 0};
        }
    } catch (const ToolError& e) {
        return fail(e.message, e.status);
    }
    return fail(usage);
}

Output hdiutil(Machine& machine, const Args& args, unsigned realUid) {
    const std::string usage = "Usage: hdiutil <verb> <options>; simulated verbs: info -plist, "
                              "attach PATH, detach DEVICE";
    try {
        if (args.size() == 2 && args[0] == "info" && args[1] == "-plist") {
            return {toXmlPlist(machine.imageInfoPlist()), "", 0};
        }
        if (args.size() >= 2 && args[0] == "attach") {
            return {machine.attach(args.back(), realUid), "", 0};
        }
        if (args.size() >= 2 && (args[0] == "detach" || args[0] == "eject")) {
            return {machine.detach(args.back()), "", 0};
        }
    } catch (const ToolError& e) {
        return fail(e.message, e.status);
    }
    return fail(usage);
}

// ---------------------------------------------------------------------------------------------
// plutil

namespace {

std::string rawValue(plist_t node, bool& ok) {
    ok = true;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* value = nullptr;
        plist_get_string_val(node, &value);
        std::string text = value != nullptr ? value : "";
        std::free(value);
        return text;
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // libplist keeps negative integers as their two's complement.
        return value > static_cast<std::uint64_t>(INT64_MAX)
                   ? std::to_string(static_cast<std::int64_t>(value))
                   : std::to_string(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        std::ostringstream out;
        out.precision(17);
        out << value;
        return out.str();
    }
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0 ? "true" : "false";
    }
    case PLIST_ARRAY:
        return std::to_string(plist_array_get_size(node));
    case PLIST_DICT: {
        std::string keys;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (key == nullptr) {
                break;
            }
            keys += keys.empty() ? "" : "\n";
            keys += key;
            std::free(key);
        }
        std::free(it);
        return keys;
    }
    default:
        ok = false;
        return "";
    }
}

std::string readAll(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

std::optional<Output> plutil(const Args& args, const std::string& standardInput) {
    if (args.empty() || args[0] != "-extract") {
        return std::nullopt;
    }
    const std::string usage =
        "plutil: the simulator supports: plutil -extract KEYPATH raw|xml1|json [-n] [-o -] FILE";
    if (args.size() < 4) {
        return fail(usage);
    }
    std::string keyPath = args[1];
    std::string format = args[2];
    bool newline = true;
    std::string file;
    for (std::size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "-n") {
            newline = false;
        } else if (args[i] == "-o" && i + 1 < args.size()) {
            if (args[++i] != "-") {
                return fail(usage);
            }
        } else if (file.empty()) {
            file = args[i];
        } else {
            return fail(usage);
        }
    }
    if (file.empty() || (format != "raw" && format != "xml1" && format != "json")) {
        return fail(usage);
    }
    std::string label = file == "-" ? "<stdin>" : file;
    std::string bytes = standardInput;
    if (file != "-") {
        bool ok = false;
        bytes = readAll(file, ok);
        if (!ok) {
            return fail(label + ": file does not exist or is not readable or is not a regular file "
                                "(Error Domain=NSCocoaErrorDomain Code=260)");
        }
    }
    PlistPtr root = parsePlist(bytes);
    if (!root) {
        return fail(label + ": Property List error: Unexpected character at line 1 / JSON error: "
                            "JSON text did not start with array or object");
    }
    plist_t node = root.get();
    std::size_t start = 0;
    while (start <= keyPath.size() && !keyPath.empty()) {
        std::size_t dot = keyPath.find('.', start);
        std::string key = keyPath.substr(start, dot == std::string::npos ? dot : dot - start);
        plist_t next = nullptr;
        if (plist_get_node_type(node) == PLIST_DICT) {
            next = plist_dict_get_item(node, key.c_str());
        } else if (plist_get_node_type(node) == PLIST_ARRAY && !key.empty() &&
                   key.find_first_not_of("0123456789") == std::string::npos && key.size() < 10) {
            auto index = static_cast<std::uint32_t>(std::stoul(key));
            if (index < plist_array_get_size(node)) {
                next = plist_array_get_item(node, index);
            }
        }
        if (next == nullptr) {
            return fail(label +
                        ": Could not extract value, error: No value at that key path or "
                        "invalid key path: " +
                        keyPath);
        }
        node = next;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (format == "raw") {
        bool ok = false;
        std::string text = rawValue(node, ok);
        if (!ok) {
            return fail(label + ": Could not extract value, error: Value at [" + keyPath +
                        "] is not a raw value type");
        }
        return Output{text + (newline ? "\n" : ""), "", 0};
    }
    PlistPtr copy(plist_copy(node));
    char* text = nullptr;
    std::uint32_t length = 0;
    if (format == "xml1") {
        plist_to_xml(copy.get(), &text, &length);
    } else {
        return fail(label + ": json output is not simulated");
    }
    std::string result(text != nullptr ? text : "", length);
    std::free(text);
    return Output{result, "", 0};
}

// ---------------------------------------------------------------------------------------------
// BSD stat

namespace {

std::string fileTypeName(mode_t mode) {
    if (S_ISREG(mode)) {
        return "Regular File";
    }
    if (S_ISDIR(mode)) {
        return "Directory";
    }
    if (S_ISLNK(mode)) {
        return "Symbolic Link";
    }
    if (S_ISFIFO(mode)) {
        return "Fifo File";
    }
    if (S_ISSOCK(mode)) {
        return "Socket";
    }
    if (S_ISCHR(mode)) {
        return "Character Device";
    }
    if (S_ISBLK(mode)) {
        return "Block Device";
    }
    return "Unknown";
}

std::string modeString(mode_t mode) {
    std::string s = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        s += (mode & (0400 >> i)) != 0 ? rwx[i] : '-';
    }
    if ((mode & S_ISUID) != 0) {
        s[3] = (mode & S_IXUSR) != 0 ? 's' : 'S';
    }
    if ((mode & S_ISGID) != 0) {
        s[6] = (mode & S_IXGRP) != 0 ? 's' : 'S';
    }
    if ((mode & S_ISVTX) != 0) {
        s[9] = (mode & S_IXOTH) != 0 ? 't' : 'T';
    }
    return s;
}

} // namespace

std::string formatBsdStat(const std::string& format, const std::string& path, bool followLinks,
                          bool& ok, std::string& error) {
    struct stat st {};
    int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
        ok = false;
        error =
            "stat: " + path + ": " + (followLinks ? "stat" : "lstat") + ": " + std::strerror(errno);
        return "";
    }
    ok = true;
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i >= format.size()) {
            out += '%';
            break;
        }
        // Optional flags and sub-field selectors: S (string), O/D/X (radix), H/M/L (part).
        bool asString = false;
        char part = 0;
        char radix = 0;
        while (i < format.size() && std::strchr("SODXHML", format[i]) != nullptr) {
            char f = format[i];
            if (f == 'S') {
                asString = true;
            } else if (f == 'O' || f == 'D' || f == 'X') {
                radix = f;
            } else {
                part = f;
            }
            ++i;
        }
        if (i >= format.size()) {
            break;
        }
        char field = format[i];
        auto number = [&](unsigned long long value, char defaultRadix) {
            char r = radix != 0 ? radix : defaultRadix;
            char buffer[32];
            std::snprintf(buffer, sizeof buffer,
                          r == 'O'   ? "%llo"
                          : r == 'X' ? "%llx"
                                     : "%llu",
                          value);
            return std::string(buffer);
        };
        switch (field) {
        case '%':
            out += '%';
            break;
        case 'p':
            if (asString) {
                out += modeString(st.st_mode);
            } else if (part == 'L') {
                // Only rwx for user, group and other: the special bits are %Mp's.
                out += number(st.st_mode & 0777, 'O');
            } else if (part == 'M') {
                out += number((st.st_mode >> 9) & 07, 'O');
            } else if (part == 'H') {
                out += number((st.st_mode >> 12) & 017, 'O');
            } else {
                out += number(st.st_mode, 'O');
            }
            break;
        case 'u':
            if (asString) {
                struct passwd* pw = ::getpwuid(st.st_uid);
                out += pw != nullptr ? pw->pw_name : std::to_string(st.st_uid);
            } else {
                out += number(st.st_uid, 'D');
            }
            break;
        case 'g':
            if (asString) {
                struct group* gr = ::getgrgid(st.st_gid);
                out += gr != nullptr ? gr->gr_name : std::to_string(st.st_gid);
            } else {
                out += number(st.st_gid, 'D');
            }
            break;
        case 'z':
            out += number(static_cast<unsigned long long>(st.st_size), 'D');
            break;
        case 'l':
            out += number(st.st_nlink, 'D');
            break;
        case 'i':
            out += number(st.st_ino, 'D');
            break;
        case 'd':
            out += number(st.st_dev, 'D');
            break;
        case 'm':
            out += number(static_cast<unsigned long long>(st.st_mtime), 'D');
            break;
        case 'a':
            out += number(static_cast<unsigned long long>(st.st_atime), 'D');
            break;
        case 'c':
            out += number(static_cast<unsigned long long>(st.st_ctime), 'D');
            break;
        case 'N':
            out += path;
            break;
        case 'T':
            out += fileTypeName(st.st_mode);
            break;
        case 'Y': {
            char target[4096];
            ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0) {
                out += std::string(target, static_cast<std::size_t>(n));
            }
            break;
        }
        default:
            ok = false;
            error = std::string("stat: unsupported format character '") + field + "'";
            return "";
        }
    }
    return out;
}

std::optional<Output> bsdStat(const Args& args) {
    std::string format;
    bool follow = false;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "-f" && i + 1 < args.size()) {
            format = args[++i];
        } else if (args[i] == "-L") {
            follow = true;
        } else if (args[i] == "--") {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (format.empty() || i >= args.size()) {
        return std::nullopt; // GNU forms (and plain `stat FILE`) go to the system's stat
    }
    Output result;
    for (; i < args.size(); ++i) {
        bool ok = false;
        std::string error;
        std::string line = formatBsdStat(format, args[i], follow, ok, error);
        if (ok) {
            result.out += line + "\n";
        } else {
            result.err += error + "\n";
            result.status = 1;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// base64 -D

std::optional<std::string> decodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        if (c == '+') {
            return 62;
        }
        if (c == '/') {
            return 63;
        }
        return -1;
    };
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    bool padding = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            continue;
        }
        if (c == '=') {
            padding = true;
            continue;
        }
        int v = value(c);
        if (v < 0 || padding) {
            return std::nullopt;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::optional<Output> base64Decode(const Args& args, const std::string& standardInput) {
    bool decode = false;
    std::string input = "-";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-D" || args[i] == "-d" || args[i] == "--decode") {
            decode = true;
        } else if (args[i] == "-i" && i + 1 < args.size()) {
            input = args[++i];
        } else if (args[i].rfind("--input=", 0) == 0) {
            input = args[i].substr(8);
        } else {
            return std::nullopt;
        }
    }
    if (!decode) {
        return std::nullopt;
    }
    std::string text = standardInput;
    if (input != "-") {
        bool ok = false;
        text = readAll(input, ok);
        if (!ok) {
            return fail("base64: " + input + ": No such file or directory");
        }
    }
    auto decoded = decodeBase64(text);
    if (!decoded) {
        return fail("base64: invalid input");
    }
    return Output{*decoded, "", 0};
}

// ---------------------------------------------------------------------------------------------
// osascript

std::optional<std::string> administratorShellCommand(const std::string& script) {
    auto skipSpace = [&](std::size_t i) {
        while (i < script.size() && std::isspace(static_cast<unsigned char>(script[i])) != 0) {
            ++i;
        }
        return i;
    };
    const std::string head = "do shell script";
    std::size_t i = skipSpace(0);
    if (script.compare(i, head.size(), head) != 0) {
        return std::nullopt;
    }
    i = skipSpace(i + head.size());
    if (i >= script.size() || script[i] != '"') {
        return std::nullopt;
    }
    std::string command;
    bool closed = false;
    for (++i; i < script.size(); ++i) {
        char c = script[i];
        if (c == '"') {
            closed = true;
            ++i;
            break;
        }
        if (c == '\\') {
            if (++i >= script.size()) {
                return std::nullopt;
            }
            char e = script[i];
            command += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            continue;
        }
        command += c;
    }
    if (!closed) {
        return std::nullopt;
    }
    i = skipSpace(i);
    const std::string tail = "with administrator privileges";
    if (script.compare(i, tail.size(), tail) != 0 || skipSpace(i + tail.size()) != script.size()) {
        return std::nullopt;
    }
    return command;
}

namespace {

// `do shell script` drops one trailing newline and turns the others into returns.
std::string scriptText(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '\n') {
            c = '\r';
        }
    }
    return text;
}

std::string position(const std::string& script) {
    return "0:" + std::to_string(script.size());
}

} // namespace

Output osascriptResult(const std::string& script, int commandStatus, const std::string& commandOut,
                       const std::string& commandErr) {
    if (commandStatus == 0) {
        return {scriptText(commandOut) + "\n", "", 0};
    }
    std::string message = scriptText(commandErr);
    if (message.empty()) {
        message = "The command exited with a non-zero status.";
    }
    return {"",
            position(script) + ": execution error: " + message + " (" +
                std::to_string(commandStatus) + ")\n",
            1};
}

Output osascriptCancelled(const std::string& script) {
    return {"", position(script) + ": execution error: User canceled. (-128)\n", 1};
}

} // namespace macsim
