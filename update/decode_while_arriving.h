// A compressed form decoded on a thread of its own while its body arrives,
// so that little of the decoding is left when its last byte is in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/memory_stream.h"
#include "net/progress_sink.h"
#include "update/xz_decoder.h"

// Stands between a body's transfer and the window that watches it: passes
// every report on to the window and hands what arrived in body to the
// decoder.
class DecodeWhileArriving final : public ProgressSink, private ArrivingBytes {
public:
    // body: the body the transfer fills, stream_size bytes when complete;
    // file_size: the size the decoded file must have.
    DecodeWhileArriving(ProgressSink& window, const MemoryStream& body, std::size_t stream_size,
                        std::size_t file_size);
    ~DecodeWhileArriving();

    void bytes_arrived(std::size_t held, std::size_t most) override;
    bool pump_messages() override;
    bool is_cancelled() const override;

    // Once body is complete: decodes it (update/xz_decoder.h) into made. The
    // thread's decoding counts when it read exactly body; otherwise (the
    // body started over, no thread could start) body is decoded here.
    bool finish(std::string& made);

private:
    std::size_t wait_for(std::size_t count) override;
    void end_arrival();
    void decode();

    ProgressSink& window_;
    const MemoryStream& body_;
    const std::size_t file_size_;
    std::unique_ptr<char[]> stream_;  // the body's bytes the decoder may read
    const std::size_t stream_size_;
    std::size_t copied_ = 0;
    bool started_over_ = false;

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::size_t there_ = 0;  // under mutex_: the bytes of stream_ the decoder may read
    bool ended_ = false;     // under mutex_: no more will come

    std::string made_;
    bool decoded_ = false;
    std::thread thread_;
};
