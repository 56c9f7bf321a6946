// A strict reader of the Prometheus text exposition format (version 0.0.4),
// written from the format's description for the host suite: it refuses what
// a scraper would refuse or misread (malformed lines, bad escapes, samples
// before their family's HELP and TYPE, a family split in two, a series twice,
// histograms whose buckets fall or whose +Inf bucket is not their count), so
// that tests compare values, not text.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace hosttest {

using Labels = std::map<std::string, std::string>;  // unescaped values

struct MetricSample {
  std::string name;
  Labels labels;
  double value = 0;
};

struct MetricFamily {
  std::string name;
  std::string type;  // counter, gauge, histogram, summary, untyped
  std::string help;  // unescaped
  std::vector<MetricSample> samples;
};

class ExpositionError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct Exposition {
  std::vector<MetricFamily> families;

  const MetricFamily* family(const std::string& name) const;
  // The value of the sample with exactly these labels; ExpositionError when there is none.
  double value(const std::string& name, const Labels& labels = {}) const;
  // The samples named `name` whose labels include `match`.
  std::vector<MetricSample> samples(const std::string& name, const Labels& match = {}) const;
};

// ExpositionError "line N: reason" for the first fault.
Exposition parseExposition(const std::string& text);

}  // namespace hosttest
