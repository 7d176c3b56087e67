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
  std::string pos_mark, neg_mark = "/rc";
  bool colon_names = true;  // false: no record name holds a colon
};

// The strand marks of --mark-strand; false for an unknown kind.
bool set_marks(FaidxArgs& a) {
  const std::string& v = a.mark;
  if (v == "rc" || v == "no") {
    a.pos_mark.clear();
    a.neg_mark = v == "rc" ? "/rc" : "";
  } else if (v == "sign") {
    a.pos_mark = "(+)";
    a.neg_mark = "(-)";
  } else if (v.starts_with("custom,")) {
    // "custom,<pos>,<neg>": the positive mark ends at the first comma after "custom,".
    const std::string rest = v.substr(7);
    const std::size_t comma = rest.find(',');
    a.pos_mark = rest.substr(0, comma);
    a.neg_mark = comma == std::string::npos ? "" : rest.substr(comma + 1);
  } else {
    return false;
  }
  return true;
}

// The values of the options, checked; the message of the first bad one, or "".
std::string check_values(FaidxArgs& a, const std::vector<std::string>& words) {
  long long width = 0;
  if (!parse_count(a.width_text, width)) {
    return "line length " + quoted(a.width_text) + " is not a number";
  }
  if (std::string error = set_threads(a.threads); !error.empty()) return error;
  if (!set_marks(a)) return "unknown --mark-strand option " + quoted(a.mark);
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

// 0: parsed; 1: error (reported); 2: help shown.
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
                                  {"-i|--reverse-complement", nullptr, &a.rc},
                                  {"-c|--continue", nullptr, &a.keep_going},
                                  {"-h|--help", nullptr, &a.help}},
                                 words);
  if (error.empty() && !a.help) error = check_values(a, words);
  return parse_outcome("faidx", error, a.help, kFaidxUsage);
}

// Starts a region of tavlo faidx with its header line: ">" + the region as given + the strand mark.
bool begin_with_header(Emitter& em, std::string_view text, const std::string& mark) {
  if (!em.begin_region()) return false;
  std::string& p = em.prefixes();
  p.push_back('>');
  p.append(text);
  p.append(mark);
  p.push_back('\n');
  return true;
}

// Resolves one region text and adds it; false ends the run with status 1.
bool faidx_region(Emitter& em, const Faidx& fx, const FaidxArgs& a, std::string_view text,
                  const Where& where) {
  if (text.size() > kMaxHeader) {
    say("faidx", problem("region text too long", "", where.text()));
    return false;
  }
  ParsedRegion r = parse_region(text, fx.names(), a.colon_names);
  if (r.status == RegionStatus::Malformed) {
    say("faidx", problem("malformed region " + quoted(text), r.message, where.text()));
    return false;
  }
  const std::string& mark = a.rc ? a.neg_mark : a.pos_mark;
  if (r.status == RegionStatus::NotFound) {
    say("faidx", problem("sequence " + quoted(text) + " not found", "", where.text()));
    if (!a.keep_going) return false;
    // As samtools does: the header of the missing region, with no residues.
    return begin_with_header(em, text, mark) && em.end_region(false);
  }
  const ClampedRegion c = clamp_region(r.beg, r.end, r.entry->rlen);
  if (c.last < c.first) {
    say("faidx", "zero-length sequence: " + std::string(text));
  } else if (c.truncated) {
    say("faidx", "truncated sequence: " + std::string(text) + " (the sequence has " +
                     std::to_string(r.entry->rlen) + " residues)");
  }
  if (!begin_with_header(em, text, mark)) return false;
  if (!em.add(*r.entry, c.first, c.last, a.rc)) return false;
  return em.end_region(c.last >= c.first);
}

// The regions of the region file, then those of the command line.
bool faidx_regions(Emitter& em, const Faidx& fx, FaidxArgs& a, LineReader& reader) {
  bool ok = true;
  if (!a.region_file.empty()) {
    em.set_reader(&reader);
    std::string_view line;
    while (ok && reader.next(line)) {
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ok = faidx_region(em, fx, a, line, Where{&a.region_file, reader.line_number()});
    }
    if (ok && !reader.error().empty()) {
      say("faidx", a.region_file + ": " + reader.error());
      ok = false;
    }
    em.set_reader(nullptr);
  }
  for (std::size_t i = 0; ok && i < a.regions.size(); ++i) {
    ok = faidx_region(em, fx, a, a.regions[i], Where{nullptr, i + 1});
  }
  return ok;
}

}  // namespace

int run_faidx(int argc, char** argv) {
  FaidxArgs a;
  if (const int rc = parse_faidx_args(argc, argv, a); rc != 0) return rc == 2 ? 0 : 1;
  const std::unique_ptr<Faidx> fx = open_fasta("faidx", a.in);
  if (fx == nullptr) return 1;
  if (a.region_file.empty() && a.regions.empty()) return 0;  // the index is all that was asked
  if (!output_allowed("faidx", a.output, a.in)) return 1;

  LineReader reader;
  std::string error;
  if (!a.region_file.empty() && !reader.open(a.region_file, error)) {
    say("faidx", error);
    return 1;
  }
  // Worth a pass over the names only for a file of regions.
  if (!a.region_file.empty()) a.colon_names = any_name_has_colon(fx->names());
  Output out;
  if (!out.open(a.output, error)) {
    say("faidx", error);
    return 1;
  }
  Layout layout;
  layout.width = a.width;
  Emitter em(*fx, layout, out, "faidx");
  return em.finish(faidx_regions(em, *fx, a, reader));
}

}  // namespace tavlo::cli
