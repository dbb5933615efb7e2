#pragma once
// Turns of the ticketed web-service calls. A call plants its CAS ticket in the process-wide cookie
// jars and its request then reads them, so from the plant to the end of that request no call of
// another ticket may plant its own. Calls of one ticket share a turn: planting the same value
// twice changes nothing. A call of another ticket waits, in arrival order: once it waits, later
// calls of the ticket in turn wait behind it, so a steady stream of one ticket starves no one.
// Within a turn one call plants the ticket on each cookie URL: a plant asks the CAS server first,
// and what that answer sets must not land between another call's plant and its request.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

class TicketTurn {
public:
    class Pass {
    public:
        Pass() = default;
        Pass(Pass&& other) noexcept : turn_(other.turn_) { other.turn_ = nullptr; }
        Pass& operator=(Pass&& other) noexcept;
        ~Pass() { Release(); }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        bool Held() const { return turn_ != nullptr; }
        void Release();
        // Runs plant unless a call of this turn has planted on key already; waits while one does,
        // until stopped() answers true.
        void PlantOnce(const std::string& key, const std::function<void()>& plant,
                       const std::function<bool()>& stopped);

    private:
        friend class TicketTurn;
        explicit Pass(TicketTurn* turn) : turn_(turn) {}
        TicketTurn* turn_ = nullptr;
    };

    // Waits for the ticket's turn until limit has passed or stopped() answers true, asked every
    // 50 ms; the pass is then not held.
    Pass Take(const std::string& ticket, std::chrono::milliseconds limit, const std::function<bool()>& stopped);

private:
    struct Waiter {
        std::string ticket;
        bool admitted = false;
    };

    void Leave();
    void PlantOnce(const std::string& key, const std::function<void()>& plant, const std::function<bool()>& stopped);
    // Lets in the waiters at the head of the line that the turn now allows. Under mutex_.
    void AdmitWaiters();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string ticket_;  // the ticket in turn while holders_ > 0
    std::size_t holders_ = 0;
    std::list<Waiter> waiting_;   // in arrival order
    std::list<Waiter> admitted_;  // let in, until their threads see it
    std::map<std::string, bool> planted_;  // cookie URLs of this turn: true once the plant has ended
};
