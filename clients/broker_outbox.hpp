#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "clients/broker.hpp"

namespace quillon {

inline constexpr std::size_t broker_outbox_capacity = 1000;

// The messages waiting for the broker while it is away or behind: at most
// 1,000, the oldest dropped and counted first.
class BrokerOutbox {
  public:
    void push(BrokerMessage message);
    // Hands on what the link takes, oldest first.
    void flush(BrokerLink& link);
    std::size_t size() const { return waiting_.size(); }
    std::uint64_t dropped() const { return dropped_; }

  private:
    std::deque<BrokerMessage> waiting_;
    std::uint64_t dropped_ = 0;
};

}  // namespace quillon
