#pragma once
// Keeps the stored count ("Attempts") close behind the engine's: a change is written within
// kDelay, several changes in that time in one write, and Flush writes at once (at exit).
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>

namespace corvane::service {

class CountSaver final : public QObject {
    Q_OBJECT
public:
    // Well inside the second a crash may lose, with room for the write itself.
    static constexpr std::chrono::milliseconds kDelay{500};

    // `count` reads the engine's count; `save` writes it and says whether it is stored.
    CountSaver(std::function<std::int32_t()> count, std::function<bool(std::int32_t)> save,
               QObject* parent = nullptr);

    // The count as stored at start: no write is due for it.
    void Stored(std::int32_t count);
    // The count changed: written within kDelay.
    void Changed();
    // Writes now when the stored count is behind. False when the write failed.
    bool Flush();

private:
    std::function<std::int32_t()> count_;
    std::function<bool(std::int32_t)> save_;
    QTimer due_;
    bool haveStored_ = false;
    std::int32_t stored_ = 0;
};

}  // namespace corvane::service
