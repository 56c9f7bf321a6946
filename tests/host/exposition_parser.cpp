#include "exposition_parser.h"

#include <utf8.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>

namespace hosttest {

namespace {

bool isNameChar(char c, bool first, bool colons) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colons && c == ':');
  return letter || (!first && c >= '0' && c <= '9');
}

class Parser {
public:
  Exposition run(const std::string& text) {
    if (!text.empty() && text.back() != '\n') {
      line_ = 0;
      fail("the text does not end with a line feed");
    }
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      ++line_;
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      if (line[0] == '#') comment(line);
      else sample(line);
    }
    for (const MetricFamily& family : result_.families) {
      if (family.type.empty() || !helped_.count(family.name)) fail("family " + family.name + " lacks HELP or TYPE");
      if (family.type == "histogram") checkHistogram(family);
    }
    return std::move(result_);
  }

private:
  [[noreturn]] void fail(const std::string& why) const {
    throw ExpositionError("line " + std::to_string(line_) + ": " + why);
  }

  // A name at `at`, which moves past it.
  std::string name(const std::string& line, std::size_t& at, bool colons) const {
    const std::size_t begin = at;
    while (at < line.size() && isNameChar(line[at], at == begin, colons)) ++at;
    if (at == begin) fail("a name is expected at column " + std::to_string(begin + 1));
    return line.substr(begin, at - begin);
  }

  void expect(const std::string& line, std::size_t& at, char c) const {
    if (at >= line.size() || line[at] != c)
      fail(std::string("'") + c + "' is expected at column " + std::to_string(at + 1));
    ++at;
  }

  // Text with the escapes \\ and \n (and \" when `quoted`, which ends at the closing quote).
  std::string unescape(const std::string& line, std::size_t& at, bool quoted) const {
    std::string text;
    while (at < line.size() && !(quoted && line[at] == '"')) {
      char c = line[at++];
      if (c == '\\') {
        if (at == line.size()) fail("a backslash ends the line");
        const char escaped = line[at++];
        if (escaped == 'n') c = '\n';
        else if (escaped == '\\' || (quoted && escaped == '"')) c = escaped;
        else fail(std::string("unknown escape \\") + escaped);
      }
      text += c;
    }
    if (quoted) expect(line, at, '"');
    if (!utf8::is_valid(text.begin(), text.end())) fail("text that is not UTF-8");
    return text;
  }

  double number(const std::string& text) const {
    if (text == "+Inf") return HUGE_VAL;
    if (text == "-Inf") return -HUGE_VAL;
    if (text == "NaN") return NAN;
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos) fail("not a number: " + text);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) fail("not a number: " + text);
    return value;
  }

  MetricFamily& declared(const std::string& family) {
    const auto found = index_.find(family);
    if (found != index_.end()) {
      if (!result_.families[found->second].samples.empty()) fail(family + " is declared after its samples");
      return result_.families[found->second];
    }
    index_.emplace(family, result_.families.size());
    result_.families.push_back(MetricFamily{family, "", "", {}});
    return result_.families.back();
  }

  void comment(const std::string& line) {
    const bool help = line.compare(0, 7, "# HELP ") == 0;
    if (!help && line.compare(0, 7, "# TYPE ") != 0) return;  // a plain comment
    std::size_t at = 7;
    const std::string family = name(line, at, true);
    MetricFamily& declaring = declared(family);
    if (help) {
      if (!helped_.insert(family).second) fail("a second HELP for " + family);
      if (at < line.size()) expect(line, at, ' ');
      declaring.help = unescape(line, at, false);
      return;
    }
    expect(line, at, ' ');
    const std::string type = line.substr(at);
    if (!declaring.type.empty()) fail("a second TYPE for " + family);
    if (type != "counter" && type != "gauge" && type != "histogram" && type != "summary" && type != "untyped")
      fail("unknown type " + type);
    declaring.type = type;
  }

  // The family a sample belongs to; histograms own their _bucket, _sum and _count.
  MetricFamily& familyOf(const std::string& sampleName) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string ending(suffix);
      if (sampleName.size() <= ending.size() ||
          sampleName.compare(sampleName.size() - ending.size(), ending.size(), ending) != 0)
        continue;
      const auto found = index_.find(sampleName.substr(0, sampleName.size() - ending.size()));
      if (found != index_.end() && result_.families[found->second].type == "histogram")
        return result_.families[found->second];
    }
    const auto found = index_.find(sampleName);
    if (found == index_.end() || result_.families[found->second].type == "histogram")
      fail("sample " + sampleName + " has no family declared before it");
    return result_.families[found->second];
  }

  void sample(const std::string& line) {
    std::size_t at = 0;
    MetricSample sample;
    sample.name = name(line, at, true);
    if (at < line.size() && line[at] == '{') {
      ++at;
      while (at < line.size() && line[at] != '}') {
        if (!sample.labels.empty()) expect(line, at, ',');
        const std::string label = name(line, at, false);
        expect(line, at, '=');
        expect(line, at, '"');
        if (!sample.labels.emplace(label, unescape(line, at, true)).second) fail("label " + label + " twice");
      }
      expect(line, at, '}');
    }
    expect(line, at, ' ');
    const std::size_t space = line.find(' ', at);
    sample.value = number(line.substr(at, space - at));
    if (space != std::string::npos) {
      const std::string stamp = line.substr(space + 1);
      if (stamp.empty() || stamp.find_first_not_of("-0123456789") != std::string::npos) fail("bad timestamp " + stamp);
    }
    MetricFamily& family = familyOf(sample.name);
    if (family.type.empty() || !helped_.count(family.name)) fail("sample " + sample.name + " before HELP and TYPE");
    if (family.name != current_) {
      if (!current_.empty()) closed_.insert(current_);
      if (closed_.count(family.name)) fail("samples of " + family.name + " are split");
      current_ = family.name;
    }
    if (!seen_.emplace(sample.name, sample.labels).second) fail("series " + sample.name + " twice");
    if ((family.type == "counter" || family.type == "histogram") && !(sample.value >= 0))
      fail(sample.name + " is negative or NaN");
    family.samples.push_back(std::move(sample));
  }

  // In each series: buckets rising in le and count, +Inf last and equal to _count, a _sum.
  void checkHistogram(const MetricFamily& family) const {
    struct Series {
      double lastLe = -HUGE_VAL;
      double lastCount = 0;
      bool infinite = false, sum = false, count = false;
      double countValue = 0;
    };
    std::map<Labels, Series> series;
    for (const MetricSample& sample : family.samples) {
      Labels labels = sample.labels;
      const bool bucket = sample.name == family.name + "_bucket";
      if (bucket != (labels.count("le") == 1)) fail(sample.name + ": le belongs to buckets alone");
      const std::string le = bucket ? labels["le"] : std::string();
      labels.erase("le");
      Series& one = series[labels];
      if (bucket) {
        const double bound = number(le);
        if (one.infinite || !(bound > one.lastLe)) fail(family.name + ": bucket le=\"" + le + "\" out of order");
        if (sample.value < one.lastCount) fail(family.name + ": bucket le=\"" + le + "\" falls");
        one.lastLe = bound;
        one.lastCount = sample.value;
        one.infinite = std::isinf(bound);
      } else if (sample.name == family.name + "_sum") {
        one.sum = true;
      } else {
        one.count = true;
        one.countValue = sample.value;
      }
    }
    for (const auto& [labels, one] : series) {
      if (!one.infinite || !one.sum || !one.count) fail(family.name + ": a series lacks +Inf, _sum or _count");
      if (one.lastCount != one.countValue) fail(family.name + ": the +Inf bucket is not _count");
    }
  }

  Exposition result_;
  std::map<std::string, std::size_t> index_;
  std::set<std::string> helped_;
  std::set<std::string> closed_;
  std::string current_;
  std::set<std::pair<std::string, Labels>> seen_;
  unsigned line_ = 0;
};

}  // namespace

const MetricFamily* Exposition::family(const std::string& name) const {
  for (const MetricFamily& one : families)
    if (one.name == name) return &one;
  return nullptr;
}

double Exposition::value(const std::string& name, const Labels& labels) const {
  for (const MetricFamily& one : families)
    for (const MetricSample& sample : one.samples)
      if (sample.name == name && sample.labels == labels) return sample.value;
  std::string shown;
  for (const auto& [label, value] : labels) shown += label + "=\"" + value + "\" ";
  throw ExpositionError("no sample " + name + " { " + shown + "}");
}

std::vector<MetricSample> Exposition::samples(const std::string& name, const Labels& match) const {
  std::vector<MetricSample> found;
  for (const MetricFamily& one : families)
    for (const MetricSample& sample : one.samples) {
      bool matches = sample.name == name;
      for (const auto& [label, value] : match) {
        const auto it = sample.labels.find(label);
        matches = matches && it != sample.labels.end() && it->second == value;
      }
      if (matches) found.push_back(sample);
    }
  return found;
}

Exposition parseExposition(const std::string& text) { return Parser().run(text); }

}  // namespace hosttest
