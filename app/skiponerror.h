// Runs a handler's steps so that a failing step is skipped and the next one still runs.
#pragma once

#include <QString>

#include <exception>
#include <utility>

// The handlers that must never stop half-way (start-up's error steps, shut-down, the channel
// commands, the port dialog) run each step through one of these. The most recent failure stays
// readable, so a later step can test for it and report it.
class SkipOnError
{
public:
    template<typename Step>
    void operator()(Step &&step)
    {
        try {
            std::forward<Step>(step)();
        } catch (const std::exception &error) {
            remember(error);
        }
    }

    // Evaluates a condition step. When the test itself fails, the steps it governs run anyway,
    // as if it had passed: a handler must not silently skip the work it exists to do.
    template<typename Condition>
    bool test(Condition &&condition)
    {
        try {
            return std::forward<Condition>(condition)();
        } catch (const std::exception &error) {
            remember(error);
            return true;
        }
    }

    bool failed() const { return m_failed; }
    const QString &lastError() const { return m_lastError; }

private:
    void remember(const std::exception &error)
    {
        m_failed = true;
        m_lastError = QString::fromUtf8(error.what());
    }

    bool m_failed = false;
    QString m_lastError;
};
