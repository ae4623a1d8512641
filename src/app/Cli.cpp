#include "app/Cli.h"
#include "app/TerminalText.h"

#include "support/BuildInfo.h"
#include "support/ExitCodes.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace tesselwick::cli {

namespace {

// Filled by static registration objects before main runs, read-only afterwards.
std::map<std::string, Subcommand>& table() {
    static std::map<std::string, Subcommand> subcommands;
    return subcommands;
}

void printUsage(std::ostream& stream) {
    stream << "usage: tesselwick <command> [options]\n"
              "       tesselwick --help | --version\n\n"
              "Finds the EFI System Partitions of this machine's disks.\n\n"
              "Commands:\n";
    std::size_t width = 0;
    for (const auto& subcommand : subcommands()) {
        width = std::max(width, subcommand.name.size());
    }
    for (const auto& subcommand : subcommands()) {
        stream << "  " << subcommand.name << std::string(width - subcommand.name.size() + 2, ' ')
               << subcommand.summary << "\n";
    }
    stream << "\nRun 'tesselwick <command> --help' for a command's options.\n";
}

} // namespace

Registration::Registration(std::string name, std::string summary, Handler run) {
    std::string key = name;
    table().insert_or_assign(std::move(key),
                             Subcommand{std::move(name), std::move(summary), std::move(run)});
}

std::vector<Subcommand> subcommands() {
    std::vector<Subcommand> out;
    for (const auto& [name, subcommand] : table()) {
        out.push_back(subcommand);
    }
    return out;
}

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    if (arguments.empty()) {
        printUsage(err);
        return exitcode::kUsage;
    }
    const std::string& first = arguments.front();
    if (first == "--help" || first == "-h" || first == "help") {
        printUsage(out);
        return 0;
    }
    if (first == "--version") {
        out << "tesselwick " << build::kVersion << "\n";
        return 0;
    }
    auto it = table().find(first);
    if (it == table().end()) {
        err << "tesselwick: unknown command '" << app::terminalText(first) << "'\n";
        printUsage(err);
        return exitcode::kUsage;
    }
    return it->second.run(std::vector<std::string>(arguments.begin() + 1, arguments.end()), out,
                          err);
}

} // namespace tesselwick::cli
