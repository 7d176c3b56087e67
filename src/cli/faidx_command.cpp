// "tavlo faidx": the regions of a FASTA file in samtools faidx syntax, written as FASTA.
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.hpp"
#include "cli/pipeline.hpp"
#include "cli/region.hpp"

namespace tavlo::cli {

namespace {

const char kFaidxUsage[] =
    "Usage: tavlo faidx <file.fa> [<reg> [...]]\n"
    "Writes the regions of a FASTA file as FASTA, building or refreshing its index first.\n"
    "Regions: name, name:start, name:start-end (1-based, inclusive; 1,000 separators\n"
    "allowed), {name}:start-end for a name that contains a colon.\n"
    "Options:\n"
    " -o, --output FILE        Write FASTA to FILE (replaced only when all went well).\n"
    " -n, --length INT         Residues per line; 0 writes each sequence on one line. [60]\n"
    " -c, --continue           Continue after a region whose sequence is not found.\n"
    " -r, --region-file FILE   File of regions, one per line (- for standard input).\n"
    " -i, --reverse-complement Reverse complement the sequences.\n"
    "     --mark-strand TYPE   Add a strand indicator to sequence names:\n"
    "                          rc   /rc on the reverse strand (default)\n"
    "                          no   no indicator\n"
    "                          sign (+) / (-)\n"
    "                          custom,<pos>,<neg> the given texts\n"
    "     --fai-idx FILE       Index file to use (default file.fa.fai).\n"
    "     --gzi-idx FILE       BGZF index file to use (default file.fa.gz.gzi).\n"
    " -@, --threads INT        Worker threads; 0: one per processor available. [0]\n"
    " -h, --help               This message.\n";

struct FaidxArgs {
  Inputs in;
  std::string output, region_file, width_text = "60", threads = "0", mark = "rc";
  std::vector<std::string> regions;
  std::uint64_t width = 60;
  bool rc = false, keep_going = false, help = false;
  bool colon_names = true;  // false: no record name holds a colon
};

// Replaces the kind given to --mark-strand by the mark of this run's strand; false for an
// unknown kind.
bool set_mark(FaidxArgs& a) {
  const std::string& kind = a.mark;
  std::string mark;
  if (kind == "rc") {
    mark = a.rc ? "/rc" : "";
  } else if (kind == "sign") {
    mark = a.rc ? "(-)" : "(+)";
  } else if (kind.starts_with("custom,")) {
    // "custom,<pos>,<neg>": the positive mark ends at the first comma after "custom,".
    const std::size_t comma = kind.find(',', 7);
    if (!a.rc) mark = kind.substr(7, comma - 7);
    if (a.rc && comma != std::string::npos) mark = kind.substr(comma + 1);
  } else if (kind != "no") {
    return false;
  }
  a.mark = std::move(mark);
  return true;
}

// The values of the options, checked; the message of the first bad one, or "".
std::string check_values(FaidxArgs& a, const std::vector<std::string>& words) {
  long long width = 0;
  if (!parse_count(a.width_text, width)) {
    return "line length " + quoted(a.width_text) + " is not a number";
  }
  if (std::string error = set_threads(a.threads); !error.empty()) return error;
  if (!set_mark(a)) return "unknown --mark-strand option " + quoted(a.mark);
  if (words.empty()) return "no FASTA file given";
  if (width < 0) {
    say("faidx", "bad line length " + quoted(a.width_text) + ", using the default of 60");
    width = 60;
  }
  a.width = static_cast<std::uint64_t>(width);
  a.in.fasta = words[0];
  a.regions.assign(words.begin() + 1, words.end());
  return {};
}

// -1: parsed; else the exit status (after the usage or the error).
int parse_faidx_args(int argc, char** argv, FaidxArgs& a) {
  std::vector<std::string> words;
  std::string error = parse_args(argc, argv, 2,
                                 {{"-o|--output", &a.output},
                                  {"-r|--region-file", &a.region_file},
                                  {"--fai-idx", &a.in.fai},
                                  {"--gzi-idx", &a.in.gzi},
                                  {"-n|--length", &a.width_text},
                                  {"-@|--threads", &a.threads},
                                  {"--mark-strand", &a.mark},
                                  {"-i|--reverse-complement", &a.rc},
                                  {"-c|--continue", &a.keep_going},
                                  {"-h|--help", &a.help}},
                                 words);
  if (error.empty() && !a.help) error = check_values(a, words);
  return parse_outcome("faidx", error, a.help, kFaidxUsage);
}

// Resolves one region text and adds it with its header line: ">", the region as given and the
// strand mark. False ends the run with status 1.
bool faidx_region(Emitter& em, const Faidx& fx, const FaidxArgs& a, std::string_view text,
                  const Where& where) {
  if (text.size() > kMaxHeader) return problem("faidx", "region text too long", "", where);
  ParsedRegion r = parse_region(text, fx.names(), a.colon_names);
  if (r.status == RegionStatus::Malformed) {
    return problem("faidx", "malformed region " + quoted(text), r.message, where);
  }
  ClampedRegion c;  // none: as samtools does, a missing region still gets its header
  if (r.status == RegionStatus::NotFound) {
    problem("faidx", "sequence " + quoted(text) + " not found", "", where);
    if (!a.keep_going) return false;
  } else {
    c = clamp_region(r.beg, r.end, r.entry->rlen);
    if (c.last < c.first) {
      say("faidx", "zero-length sequence: " + std::string(text));
    } else if (c.truncated) {
      say("faidx", "truncated sequence: " + std::string(text) + " (the sequence has " +
                       std::to_string(r.entry->rlen) + " residues)");
    }
  }
  if (!em.begin_region()) return false;
  em.prefixes().append(">").append(text).append(a.mark).push_back('\n');
  return (!r.entry || em.add(*r.entry, c.first, c.last, a.rc)) && em.end_region(c.last >= c.first);
}

// The regions of the region file, then those of the command line.
bool faidx_regions(Emitter& em, const Faidx& fx, const FaidxArgs& a, LineReader& reader) {
  if (!a.region_file.empty()) {
    const bool ok =
        em.each_line(reader, a.region_file, [&](std::string_view line, const Where& at) {
          if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
          return faidx_region(em, fx, a, line, at);
        });
    em.set_reader(nullptr);
    if (!ok) return false;
  }
  for (std::size_t i = 0; i < a.regions.size(); ++i) {
    if (!faidx_region(em, fx, a, a.regions[i], Where{nullptr, i + 1})) return false;
  }
  return true;
}

}  // namespace

int run_faidx(int argc, char** argv) {
  FaidxArgs a;
  if (const int rc = parse_faidx_args(argc, argv, a); rc >= 0) return rc;
  const std::unique_ptr<Faidx> fx = open_fasta("faidx", a.in);
  if (fx == nullptr) return 1;
  if (a.region_file.empty() && a.regions.empty()) return 0;  // the index is all that was asked
  LineReader reader;
  Output out;
  if (!open_files("faidx", a.in, a.region_file, reader, a.output, out)) return 1;
  // Worth a pass over the names only for a file of regions.
  if (!a.region_file.empty()) a.colon_names = any_name_has_colon(fx->names());
  Emitter em(*fx, Layout{a.width}, out, "faidx");
  return em.finish(faidx_regions(em, *fx, a, reader));
}

}  // namespace tavlo::cli
