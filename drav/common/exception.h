// The library's general exception and its subclass for generated client proxies.
//
// Transport and compression failures have exception types of their own
// (transport/ and compression/); they derive from std::runtime_error directly.
#pragma once

#include <drav/export.h>

#include <ostream>
#include <stdexcept>
#include <string>

// The library's general exception: wrong value kinds, bad indexes, values that do not fit.
class DRAV_EXPORT DRAVException : public std::runtime_error {
public:
  explicit DRAVException(const std::string& message) : std::runtime_error(message) {}
  DRAVException(const DRAVException&) = default;
  DRAVException& operator=(const DRAVException&) = default;
  ~DRAVException() override;
};

// What generated client proxies throw; a DRAVException.
class DRAV_EXPORT DRAVSmartProxyException : public DRAVException {
public:
  explicit DRAVSmartProxyException(const std::string& message) : DRAVException(message) {}
  DRAVSmartProxyException(const DRAVSmartProxyException&) = default;
  DRAVSmartProxyException& operator=(const DRAVSmartProxyException&) = default;
  ~DRAVSmartProxyException() override;
};

// Writes the message and nothing else.
DRAV_EXPORT std::ostream& operator<<(std::ostream& os, const DRAVException& e);
