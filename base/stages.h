// The stages of a pipeline that run for the whole job, each on a thread of
// its own (a decoder, a reader, a writer, an encoder), handing work to each
// other through channels. Not a data-parallel loop (that is
// `parallelChunks`): a stage is started once and ends when its work does.
//
// A group starts named stages and joins them all before the caller goes on,
// on every way out of the caller's scope. The first exception a stage throws
// ends that stage, is handed to `whenFailed` (so the others can be told to
// stop: a channel closed or abandoned) and is rethrown by join().
#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vistereo {

class StageGroup {
public:
    explicit StageGroup(std::function<void()> whenFailed = {});
    // Joins the stages still running; an exception none has collected is dropped.
    ~StageGroup();
    StageGroup(const StageGroup&) = delete;
    StageGroup& operator=(const StageGroup&) = delete;

    // Starts `body` on a thread named `name` (as the system shows it, cut to
    // 15 bytes). Throws std::system_error when no thread can be started.
    void start(const std::string& name, std::function<void()> body);
    // Waits for every stage started; rethrows the first exception one threw.
    void join();

private:
    std::function<void()> whenFailed_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::exception_ptr failure_;
};

}  // namespace vistereo
