#include "signin/system.h"

#include <utility>

namespace vtl::signin {

SystemSignIn::SystemSignIn(std::string caFile, std::string trustOption) {
  HttpsEnv https;
  https.network = &platform::SystemNetwork();
  https.caFile = std::move(caFile);
  https.trustOption = std::move(trustOption);
  http_ = MakeHttps(std::move(https));
  store_ = SystemGrantStore();
  env_.openBrowser = [](const std::string& url, std::string& detail) {
    return platform::OpenWithDefaultHandler(nullptr, url.c_str(), detail);
  };
  env_.random = platform::RandomBytes;
  env_.listen = platform::ListenOnLoopback;
  env_.http = http_.get();
  env_.store = store_.get();
}

}  // namespace vtl::signin
