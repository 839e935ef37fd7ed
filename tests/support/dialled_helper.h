#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/helper_process.h"
#include "support/surface_probe.h"
#include "tools/client/fenwright_client.h"

namespace fenwright::testing {

// The helper as an extension meets it: started, dialled once it listens,
// and its surface fetched. Where most whole-process tests begin.
class DialledHelper {
 public:
  explicit DialledHelper(const SentinelHome& home) : helper(home) {}

  // `display` empty: no X server. Fails the calling test with the helper's
  // log; call it inside ASSERT_NO_FATAL_FAILURE.
  void start(const std::string& display = {}, std::vector<std::string> argvPrefix = {}) {
    std::vector<std::pair<std::string, std::string>> environment;
    if (!display.empty()) environment.emplace_back("DISPLAY", display);
    ASSERT_TRUE(helper.start(std::move(argvPrefix), std::move(environment)));
    ASSERT_TRUE(helper.waitForLogContaining("listening on ", std::chrono::seconds(10)))
        << "the helper never said it listens:\n" << helper.log();
    auto dialled = client::FenwrightClient::connect(helper.socketPath());
    ASSERT_TRUE(dialled) << dialled.error();
    client_.emplace(std::move(*dialled));
    auto fetched = client_->fetchSurface();
    ASSERT_TRUE(fetched) << fetched.error() << "\n" << helper.log();
    ASSERT_TRUE(fetched->has_value()) << "nil reply\n" << helper.log();
    surface_.emplace(std::move(**fetched));
  }

  client::FenwrightClient& client() { return *client_; }
  const client::MappedSurface& surface() const { return *surface_; }

  // The extension goes away; the helper should follow with status 0.
  void hangUp() { client_.reset(); }

  HelperProcess helper;

 private:
  std::optional<client::FenwrightClient> client_;
  std::optional<client::MappedSurface> surface_;
};

}  // namespace fenwright::testing
