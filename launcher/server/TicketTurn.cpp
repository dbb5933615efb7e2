#include "TicketTurn.h"

#include <algorithm>

namespace {
constexpr std::chrono::milliseconds kPoll{50};
}

TicketTurn::Pass& TicketTurn::Pass::operator=(Pass&& other) noexcept {
    if (this != &other) {
        Release();
        turn_ = other.turn_;
        other.turn_ = nullptr;
    }
    return *this;
}

void TicketTurn::Pass::Release() {
    if (turn_ != nullptr) turn_->Leave();
    turn_ = nullptr;
}

void TicketTurn::Pass::PlantOnce(const std::string& key, const std::function<void()>& plant,
                                 const std::function<bool()>& stopped) {
    if (turn_ != nullptr) turn_->PlantOnce(key, plant, stopped);
}

TicketTurn::Pass TicketTurn::Take(const std::string& ticket, std::chrono::milliseconds limit,
                                  const std::function<bool()>& stopped) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (waiting_.empty() && (holders_ == 0 || ticket_ == ticket)) {
        ticket_ = ticket;
        ++holders_;
        return Pass(this);
    }
    const auto waiter = waiting_.insert(waiting_.end(), Waiter{ticket});
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!waiter->admitted) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || stopped()) break;
        changed_.wait_for(guard, std::min<std::chrono::steady_clock::duration>(kPoll, deadline - now));
    }
    // Admitted is held: the holder count already counts it, whatever else happened meanwhile.
    if (waiter->admitted) {
        admitted_.erase(waiter);
        return Pass(this);
    }
    const bool wasFirst = waiter == waiting_.begin();
    waiting_.erase(waiter);
    if (wasFirst) {
        AdmitWaiters();
        changed_.notify_all();
    }
    return Pass();
}

void TicketTurn::PlantOnce(const std::string& key, const std::function<void()>& plant,
                           const std::function<bool()>& stopped) {
    std::unique_lock<std::mutex> guard(mutex_);
    const auto [entry, first] = planted_.try_emplace(key, false);
    if (!first) {
        // The map lives as long as the turn, which this call holds: the entry stays.
        while (!entry->second && !stopped()) changed_.wait_for(guard, kPoll);
        return;
    }
    guard.unlock();
    struct Ended {
        TicketTurn& turn;
        std::map<std::string, bool>::iterator entry;
        ~Ended() {
            {
                std::lock_guard<std::mutex> hold(turn.mutex_);
                entry->second = true;
            }
            turn.changed_.notify_all();
        }
    } ended{*this, entry};
    plant();
}

void TicketTurn::Leave() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--holders_ == 0) {
        planted_.clear();
        AdmitWaiters();
        changed_.notify_all();
    }
}

void TicketTurn::AdmitWaiters() {
    while (!waiting_.empty() && (holders_ == 0 || waiting_.front().ticket == ticket_)) {
        Waiter& first = waiting_.front();
        ticket_ = first.ticket;
        ++holders_;
        first.admitted = true;
        // The node moves whole: its thread's iterator stays valid.
        admitted_.splice(admitted_.end(), waiting_, waiting_.begin());
    }
}
