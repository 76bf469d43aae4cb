// The PC's changes handed to the engine in one session and awaiting the phone's answers.
//
// A queue of SentJob, newest first, with hashed lookups by command number, local LUID and LUID
// so that a session of many notes answers each status and map in constant time. Where two jobs
// share a key, the newest is found. Not thread-safe: the controller's callbacks come one at a time.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "platform/com_raii.h"

namespace vt {

enum SentJobType : int32_t { opTypeAdd = 0, opTypeDel = 1, opTypeMod = 2 };

// The bytes of a note handed to the engine, from the COM task allocator.
using NoteBytes = unique_cotaskmem_ptr<uint8_t>;

// One PC change handed to the engine and awaiting the phone's status. Move-only: the job owns
// the note's bytes until a status stores them or the session ends.
struct SentJob {
    std::u16string fileName;
    int64_t fileTime = 0;
    int32_t opType = opTypeAdd;
    NoteBytes data;
    uint32_t dataSize = 0;
    uint32_t cmdId = 0;
    std::u16string localLuid;
    std::u16string luid;
    uint16_t commitCount = 0;
};

class SentJobQueue {
  public:
    using iterator = std::list<SentJob>::iterator;

    SentJobQueue() = default;
    SentJobQueue(const SentJobQueue&) = delete;
    SentJobQueue& operator=(const SentJobQueue&) = delete;

    bool empty() const { return m_jobs.empty(); }
    size_t size() const { return m_jobs.size(); }
    iterator begin() { return m_jobs.begin(); }
    iterator end() { return m_jobs.end(); }
    SentJob& front() { return m_jobs.front(); }
    const SentJob& front() const { return m_jobs.front(); }

    void push_front(SentJob job) {
        m_jobs.push_front(std::move(job));
        index(m_jobs.begin());
    }

    // Removes a job and its bytes.
    void erase(iterator job) {
        unindex(job);
        m_jobs.erase(job);
    }
    void pop_front() { erase(m_jobs.begin()); }
    void clear() {
        while (!m_jobs.empty()) pop_front();
    }

    // end() when no job has the key.
    iterator findByCmdId(uint32_t cmdId) { return find(m_byCmdId, cmdId); }
    iterator findByLocalLuid(const std::u16string& localLuid) {
        return find(m_byLocalLuid, localLuid);
    }
    iterator findByLuid(const std::u16string& luid) { return find(m_byLuid, luid); }

    // Gives a job the phone's LUID (from the phone's map).
    void setLuid(iterator job, const std::u16string& luid) {
        eraseKey(m_byLuid, job->luid, job);
        job->luid = luid;
        if (!luid.empty()) m_byLuid[luid] = job;
    }

  private:
    template <class Map, class Key>
    iterator find(Map& map, const Key& key) {
        auto it = map.find(key);
        return it == map.end() ? m_jobs.end() : it->second;
    }
    template <class Map, class Key>
    static void eraseKey(Map& map, const Key& key, iterator job) {
        auto it = map.find(key);
        if (it != map.end() && it->second == job) map.erase(it);
    }
    void index(iterator job) {
        m_byCmdId[job->cmdId] = job;
        if (!job->localLuid.empty()) m_byLocalLuid[job->localLuid] = job;
        if (!job->luid.empty()) m_byLuid[job->luid] = job;
    }
    void unindex(iterator job) {
        eraseKey(m_byCmdId, job->cmdId, job);
        eraseKey(m_byLocalLuid, job->localLuid, job);
        eraseKey(m_byLuid, job->luid, job);
    }

    std::list<SentJob> m_jobs;
    std::unordered_map<uint32_t, iterator> m_byCmdId;
    std::unordered_map<std::u16string, iterator> m_byLocalLuid;
    std::unordered_map<std::u16string, iterator> m_byLuid;
};

}  // namespace vt
