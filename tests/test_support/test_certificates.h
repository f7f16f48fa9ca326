// Certificates made with openssl at test time, for the HTTPS tests.
#pragma once

#include <cstdlib>
#include <string>

#include "test_support/temp_folder.h"

namespace halyard::testing {

/// Certificates made with openssl for the test: an authority that signs a certificate for
/// 127.0.0.1 and one for another name, and a second, unrelated authority.
class TestCertificates {
 public:
  explicit TestCertificates(const TempFolder& folder) : folder_(folder) {
    made_ =
        Run(Authority("ca") + " && " + Authority("other-ca") + " && " +
            Leaf("server", "IP:127.0.0.1") + " && " + Leaf("wrong-name", "DNS:updates.example"));
  }
  bool Made() const { return made_; }
  std::string Path(const std::string& name) const { return folder_ / name; }

 private:
  static bool Run(const std::string& commands) {
    return std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) == 0;
  }
  std::string Authority(const std::string& name) const {
    return "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
           "-subj /CN=" +
           name + " -keyout '" + Path(name + ".key") + "' -out '" + Path(name + ".pem") + "'";
  }
  std::string Leaf(const std::string& name, const std::string& alt_name) const {
    return "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
           " -keyout '" + Path(name + ".key") + "' -out '" + Path(name + ".csr") +
           "' && printf 'subjectAltName=" + alt_name + "' > '" + Path(name + ".ext") +
           "' && openssl x509 -req -days 1 -in '" + Path(name + ".csr") + "' -CA '" +
           Path("ca.pem") + "' -CAkey '" + Path("ca.key") + "' -CAcreateserial -extfile '" +
           Path(name + ".ext") + "' -out '" + Path(name + ".pem") + "'";
  }

  const TempFolder& folder_;
  bool made_ = false;
};

}  // namespace halyard::testing
