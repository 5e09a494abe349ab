#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace cvn {

// The caller's view of something the session started on the main thread: a
// reply, a council run, a load. Finishes once; callbacks run on the main
// thread. A default-constructed task is already finished (nothing to do).
class SessionTask {
public:
    SessionTask() = default;

    static SessionTask started()
    {
        SessionTask task;
        task.m_state = std::make_shared<State>();
        return task;
    }

    bool isFinished() const { return !m_state || m_state->finished; }

    // Runs `fn` when the task finishes (at once when it already has).
    void onFinished(std::function<void()> fn) const
    {
        if (isFinished()) {
            fn();
            return;
        }
        m_state->callbacks.push_back(std::move(fn));
    }

    void finish() const
    {
        if (isFinished())
            return;
        m_state->finished = true;
        auto callbacks = std::move(m_state->callbacks);
        for (auto& fn : callbacks)
            fn();
    }

private:
    struct State {
        bool finished = false;
        std::vector<std::function<void()>> callbacks;
    };
    std::shared_ptr<State> m_state;
};

} // namespace cvn
