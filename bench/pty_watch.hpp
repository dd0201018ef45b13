// The bus side of the gateway's pseudo-terminal, read as the gateway writes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon::bench {

// Reads the bus side of the pseudo-terminal on a thread of its own, so that
// each byte's arrival time is taken when the gateway wrote it, not when the
// bench gets round to it between the clients' reads. The main loop is woken
// through an eventfd and takes the bytes with their times.
class PtyWatch {
  public:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        std::int64_t t_ns = 0;
    };

    void start(int master);
    void stop();
    ~PtyWatch() { stop(); }
    int wake_fd() const { return wake_fd_; }
    std::vector<Chunk> take();

  private:
    void run(int master);

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Chunk> chunks_;
    int wake_fd_ = -1;
};

}  // namespace quillon::bench
