// Owning handles for htslib objects.
#pragma once

#include <memory>

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/thread_pool.h>

namespace marlinox::command {

struct HfileCloser {
    void operator()(hFILE* file) const noexcept { hclose_abruptly(file); }
};
using HfilePtr = std::unique_ptr<hFILE, HfileCloser>;

struct BgzfCloser {
    void operator()(BGZF* file) const noexcept { bgzf_close(file); }
};
using BgzfPtr = std::unique_ptr<BGZF, BgzfCloser>;

struct ThreadPoolCloser {
    void operator()(hts_tpool* pool) const noexcept { hts_tpool_destroy(pool); }
};
using ThreadPoolPtr = std::unique_ptr<hts_tpool, ThreadPoolCloser>;

}  // namespace marlinox::command
