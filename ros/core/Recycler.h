#pragma once
// Messages of one topic handed out again once nobody else holds them (a
// subscriber in the same process, a send queue): a message taken back keeps
// its buffers, so publishing a frame neither allocates them nor fills them
// before they are overwritten (resizing to the size they have is free).

#include <functional>
#include <utility>
#include <vector>

namespace Velmora {
namespace Ros {

template <typename Pointer>  // a shared pointer to a message
class Recycler {
public:
    explicit Recycler(std::function<Pointer()> maker) : make(std::move(maker)) {}

    // A message that nobody else holds: one handed out before, or a new one.
    Pointer take() {
        for (const Pointer& message : kept)
            if (message.use_count() == 1) return message;
        Pointer fresh = make();
        if (kept.size() < kKept) kept.push_back(fresh);
        return fresh;
    }

private:
    // Enough for the frames of a subscriber that is a little behind.
    static constexpr size_t kKept = 3;
    std::function<Pointer()> make;
    std::vector<Pointer> kept;
};

}  // namespace Ros
}  // namespace Velmora
