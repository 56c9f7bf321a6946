// TlsPolicy: how the client checks the certificate of an https server.
// By default the peer's chain is verified against the system's certificate
// authorities and its name against the host of the URL. A CA file or folder
// adds authorities to trust (a private CA); turning verification off is for
// a test setup only, and must be asked for by name. A plain value: it opens
// and checks nothing itself.
#pragma once

#include <string>

struct TlsPolicy {
  bool verify = true;    // false: any certificate, any name, any date (test setups only)
  std::string caFile;    // PEM file of authorities trusted beside the system's; empty: none
  std::string caFolder;  // folder of PEM authorities named by their hashes (c_rehash); empty: none

  // This policy where it says something, else `fallback`: a CA file or
  // folder it names wins, and verification is off when either turns it off.
  TlsPolicy over(const TlsPolicy& fallback) const {
    TlsPolicy merged;
    merged.verify = verify && fallback.verify;
    merged.caFile = caFile.empty() ? fallback.caFile : caFile;
    merged.caFolder = caFolder.empty() ? fallback.caFolder : caFolder;
    return merged;
  }
};
