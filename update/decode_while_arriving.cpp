#include "update/decode_while_arriving.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <system_error>

DecodeWhileArriving::DecodeWhileArriving(ProgressSink& window, const MemoryStream& body,
                                         std::size_t stream_size, std::size_t file_size)
    : window_(window), body_(body), file_size_(file_size), stream_size_(stream_size)
{
    try {
        stream_.reset(new char[stream_size_]);
        thread_ = std::thread([this] { decode(); });
    } catch (const std::bad_alloc&) {
        stream_.reset();
    } catch (const std::system_error&) {
        stream_.reset();
    }
}

DecodeWhileArriving::~DecodeWhileArriving()
{
    end_arrival();
    if (thread_.joinable())
        thread_.join();
}

void DecodeWhileArriving::bytes_arrived(std::size_t held, std::size_t most)
{
    window_.bytes_arrived(held, most);
    if (!thread_.joinable() || started_over_)
        return;
    if (held < copied_) {
        started_over_ = true;
        end_arrival();
        return;
    }
    held = std::min(held, stream_size_);
    if (held == copied_)
        return;
    std::copy(body_.begin() + copied_, body_.begin() + held, stream_.get() + copied_);
    copied_ = held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        there_ = copied_;
    }
    arrived_.notify_one();
}

bool DecodeWhileArriving::pump_messages()
{
    return window_.pump_messages();
}

bool DecodeWhileArriving::is_cancelled() const
{
    return window_.is_cancelled();
}

bool DecodeWhileArriving::finish(std::string& made)
{
    end_arrival();
    if (thread_.joinable())
        thread_.join();
    // A body that started over after less than a read may look continued.
    const bool read_body = stream_ && !started_over_ && copied_ == body_.size() &&
                           std::equal(body_.begin(), body_.end(), stream_.get());
    if (!read_body) {
        made_ = std::string();
        return decode_xz(std::string_view(body_.data(), body_.size()), file_size_, made);
    }
    made.swap(made_);
    return decoded_;
}

std::size_t DecodeWhileArriving::wait_for(std::size_t count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [&] { return there_ >= count || ended_; });
    return there_;
}

void DecodeWhileArriving::end_arrival()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    arrived_.notify_one();
}

void DecodeWhileArriving::decode()
{
    decoded_ = decode_xz(std::string_view(stream_.get(), stream_size_), *this, file_size_, made_);
}
