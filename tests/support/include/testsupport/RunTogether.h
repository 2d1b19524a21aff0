#pragma once
// Concurrency tests: the same body on several threads at once.
#include <functional>
#include <future>
#include <string>
#include <vector>

namespace testsupport {

// Runs `body(thread, round)` on `threads` threads for `rounds` rounds each, all released
// together; the failures (non-empty texts the body returns) come back in thread order.
inline std::vector<std::string> RunTogether(int threads, int rounds,
                                            const std::function<std::string(int, int)>& body) {
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  std::vector<std::future<std::vector<std::string>>> workers;
  for (int t = 0; t < threads; ++t)
    workers.push_back(std::async(std::launch::async, [&, t] {
      started.wait();
      std::vector<std::string> failures;
      for (int r = 0; r < rounds; ++r)
        if (std::string f = body(t, r); !f.empty()) failures.push_back(std::move(f));
      return failures;
    }));
  go.set_value();
  std::vector<std::string> all;
  for (auto& w : workers)
    for (std::string& f : w.get()) all.push_back(std::move(f));
  return all;
}

}  // namespace testsupport
