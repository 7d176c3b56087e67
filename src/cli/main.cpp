// The tavlo command-line tool: "tavlo faidx" (samtools faidx) and "tavlo getfasta" (bedtools
// getfasta), streaming regions in chunks through the core's worker pool.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <string_view>

#include "cli/args.hpp"
#include "cli/pipeline.hpp"

#ifndef TAVLO_VERSION
#define TAVLO_VERSION "0.1.0"
#endif

namespace tavlo::cli {

namespace {

const char kUsage[] =
    "Usage: tavlo <command> [options]\n"
    "Fast extraction of FASTA regions through a .fai index.\n"
    "Commands:\n"
    "  faidx     regions in samtools faidx syntax (tavlo faidx --help)\n"
    "  getfasta  intervals of a BED file, as bedtools getfasta (tavlo getfasta -h)\n"
    "Options:\n"
    "  -h, --help     This message.\n"
    "  --version      The version.\n";

int run(int argc, char** argv) {
  // A closed pipe ends the program at once and quietly, whatever the parent left in place.
  ::signal(SIGPIPE, SIG_DFL);
  // The chunk buffers and the fetched residues are freed and allocated again chunk after chunk:
  // keeping freed memory (instead of returning it to the kernel and getting zeroed pages back)
  // saves a good part of the run. Memory stays bounded by the chunk size either way.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
  const std::string_view command = argc < 2 ? "" : argv[1];
  if (command == "faidx") return run_faidx(argc, argv);
  if (command == "getfasta") return run_getfasta(argc, argv);
  if (command == "--version" || command == "-V") {
    static const char kVersion[] = "tavlo " TAVLO_VERSION "\n";
    (void)!::write(1, kVersion, sizeof kVersion - 1);
    return 0;
  }
  const bool help = command == "-h" || command == "--help" || command == "help";
  if (argc >= 2 && !help) say(command, "unknown command");
  (void)!::write(help ? 1 : 2, kUsage, sizeof kUsage - 1);
  return help ? 0 : 1;
}

}  // namespace

}  // namespace tavlo::cli

int main(int argc, char** argv) {
  try {
    return tavlo::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    static const char kText[] = "tavlo: out of memory\n";
    (void)!::write(2, kText, sizeof kText - 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavlo: %s\n", e.what());
  }
  return 1;
}
