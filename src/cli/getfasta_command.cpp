// "tavlo getfasta": the sequences of the intervals of a BED file, as bedtools getfasta writes them.
#include <charconv>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/args.hpp"
#include "cli/bed.hpp"
#include "cli/pipeline.hpp"

namespace tavlo::cli {

namespace {

const char kGetfastaUsage[] =
    "Usage: tavlo getfasta [OPTIONS] -fi <fasta> -bed <bed>\n"
    "Writes the sequences of the intervals of a BED file (0-based, half-open).\n"
    "Options:\n"
    " -fi FILE   FASTA file (its index is built or refreshed when needed).\n"
    " -bed FILE  BED file of intervals (- for standard input).\n"
    " -fo FILE   Output file (replaced only when all went well); default standard output.\n"
    " -name      Use the name column for the FASTA header (name::chrom:start-end).\n"
    " -nameOnly  Use only the name column for the FASTA header.\n"
    " -tab       Write \"header<TAB>sequence\" lines instead of FASTA.\n"
    " -bedOut    Write the BED row, a tab and the sequence.\n"
    " -s         Reverse complement intervals on the - strand (column 6); adds (strand).\n"
    " -split     Join the blocks of BED12 rows.\n"
    " -@ INT     Worker threads; 0: one per processor available. [0]\n"
    " -h         This message.\n";

struct GetfastaArgs {
  Inputs in;
  std::string bed, output, threads = "0";
  bool strand = false, name = false, name_only = false, tab = false, bed_out = false, split = false,
       help = false;
};

// -1: parsed; else the exit status (after the usage or the error).
int parse_getfasta_args(int argc, char** argv, GetfastaArgs& a) {
  std::vector<std::string> words;
  std::string error = parse_args(argc, argv, 2,
                                 {{"-fi", &a.in.fasta},
                                  {"-bed", &a.bed},
                                  {"-fo", &a.output},
                                  {"-@|--threads", &a.threads},
                                  {"-s", &a.strand},
                                  {"-name", &a.name},
                                  {"-nameOnly", &a.name_only},
                                  {"-tab", &a.tab},
                                  {"-bedOut", &a.bed_out},
                                  {"-split", &a.split},
                                  {"-h|-help|--help", &a.help}},
                                 words);
  if (error.empty() && !a.help) {
    if (!words.empty()) {
      error = "unknown option " + quoted(words[0]);
    } else if (a.in.fasta.empty() || a.bed.empty()) {
      error = "both -fi and -bed are needed";
    } else {
      error = set_threads(a.threads);
    }
  }
  return parse_outcome("getfasta", error, a.help, kGetfastaUsage);
}

void append_number(std::string& out, std::uint64_t v) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, r.ptr);
}

// The header of a row: "chrom:start-end", with "name::" or the name alone, and "(strand)".
void append_header(std::string& p, const GetfastaArgs& a, const BedRow& row) {
  if (a.bed_out) {
    p.append(row.line).push_back('\t');
    return;
  }
  if (!a.tab) p.push_back('>');
  if (a.name_only || a.name) p.append(row.name);
  if (!a.name_only) {
    if (a.name) p.append("::");
    p.append(row.chrom);
    p.push_back(':');
    append_number(p, row.start);
    p.push_back('-');
    append_number(p, row.end);
  }
  if (a.strand) p.append("(").append(row.strand).push_back(')');
  p.push_back(a.tab ? '\t' : '\n');
}

// Reads the BED rows in turn and adds their intervals.
class Rows {
 public:
  Rows(const GetfastaArgs& a, const Faidx& fx, Emitter& em) : a_(a), fx_(fx), em_(em) {}

  // Adds the interval (or the blocks) of one line; false ends the run with status 1.
  bool add(std::string_view line, const Where& at) {
    const BedLine parsed = parse_bed_line(line);
    if (parsed.kind == BedLineKind::Skip) return true;
    if (parsed.kind == BedLineKind::Error) {
      return problem("getfasta", "malformed BED row", parsed.message, at);
    }
    const BedRow& row = parsed.row;
    // bedtools refuses a file whose rows differ in their number of columns.
    if (fields_ == 0) fields_ = row.fields;
    if (row.fields != fields_) {
      return problem("getfasta", "a different number of BED columns",
                     std::to_string(row.fields) + " instead of " + std::to_string(fields_), at);
    }
    const std::optional<EntryNumbers> e = fx_.names().lookup(row.chrom);
    if (!e) {
      return skip("chromosome (" + std::string(row.chrom) + ") was not found in the FASTA file",
                  at);
    }
    if (row.start == row.end) return skip("feature (" + region(row) + ") has length 0", at);
    if (row.end > e->rlen) {
      return skip("feature (" + region(row) + ") reaches beyond the length of " +
                      std::string(row.chrom) + " (" + std::to_string(e->rlen) + " residues)",
                  at);
    }
    std::string error;
    if (a_.split && !bed_blocks(row, blocks_, error)) {
      return problem("getfasta", "malformed BED12 blocks", error, at);
    }
    if (!a_.split) blocks_.assign(1, {row.start, row.end});
    if (row.line.size() > kMaxHeader) return problem("getfasta", "row too long", "", at);
    const bool rc = a_.strand && row.strand == "-";
    if (!em_.begin_region()) return false;
    append_header(em_.prefixes(), a_, row);
    bool has_residues = false;
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
      const auto& [b, end] = blocks_[rc ? blocks_.size() - 1 - k : k];
      const std::uint64_t first = std::min(b, e->rlen) + 1;
      const std::uint64_t last = std::min(end, e->rlen);
      if (last >= first) has_residues = true;
      if (!em_.add(*e, first, last, rc)) return false;
    }
    return em_.end_region(has_residues);
  }

 private:
  static std::string region(const BedRow& row) {
    return std::string(row.chrom) + ":" + std::to_string(row.start) + "-" + std::to_string(row.end);
  }
  bool skip(const std::string& what, const Where& at) {
    say("getfasta", what + "; skipping " + at.text());
    return true;
  }

  const GetfastaArgs& a_;
  const Faidx& fx_;
  Emitter& em_;
  std::size_t fields_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks_;
};

}  // namespace

int run_getfasta(int argc, char** argv) {
  GetfastaArgs a;
  if (const int rc = parse_getfasta_args(argc, argv, a); rc >= 0) return rc;
  const std::unique_ptr<Faidx> fx = open_fasta("getfasta", a.in);
  LineReader reader;
  Output out;
  if (fx == nullptr || !open_files("getfasta", a.in, a.bed, reader, a.output, out)) return 1;
  Emitter em(*fx, Layout{0, a.tab || a.bed_out}, out, "getfasta");
  Rows rows(a, *fx, em);
  const bool ok = em.each_line(
      reader, a.bed, [&](std::string_view line, const Where& at) { return rows.add(line, at); });
  return em.finish(ok);
}

}  // namespace tavlo::cli
