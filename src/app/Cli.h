#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// The command-line interface: `tesselwick <subcommand> [arguments]`. Each
// subcommand lives in its own file and registers itself with one line:
//
//   TESSELWICK_SUBCOMMAND(list, "List the EFI System Partitions", runList);
//
// where runList has the Handler signature below.
namespace tesselwick::cli {

// Arguments after the subcommand's name; returns the exit status.
using Handler = std::function<int(const std::vector<std::string>& arguments, std::ostream& out,
                                  std::ostream& err)>;

struct Subcommand {
    std::string name;
    std::string summary;
    Handler run;
};

// Adds a subcommand to the table; meant for static registration objects.
class Registration {
public:
    Registration(std::string name, std::string summary, Handler run);
};

// All registered subcommands, ordered by name.
std::vector<Subcommand> subcommands();

// Dispatches argv; writes to `out` and `err`, returns the exit status.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace tesselwick::cli

#define TESSELWICK_SUBCOMMAND(name, summary, handler)                                              \
    static const ::tesselwick::cli::Registration tesselwickSubcommand_##name(#name, summary,       \
                                                                             handler)
