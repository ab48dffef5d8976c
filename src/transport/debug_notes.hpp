// What the engines tell the caller's debug log: a connection opened, pooled or closed, the retry
// and the failure that caused it, a time-out, a hybrid connection broken, a region re-attached.
//
// The engines have no Python, and often run without the interpreter lock, so they only write
// notes down, on the calling thread, into the notes of the call that the thread is running (the
// binding makes them for each call and hands them to the log once the call is back with the
// lock); outside such a call a note is dropped. Rare events are always noted (they cost a string
// when they happen); the notes of every call (a connection pooled) are made only while the call
// asked for them, which the binding does when the log would take them, so a caller that logs
// nothing pays a thread-local load for them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelto::debug_notes {

struct Notes {
    std::vector<std::string> taken;
    bool everyday = false;  // whether the call wants the notes of every call
};

// The notes of the call that the calling thread runs, or null.
Notes* of_this_thread() noexcept;

// Makes `notes` the calling thread's for its lifetime, then puts back the ones before.
class ThreadNotes {
public:
    explicit ThreadNotes(Notes& notes) noexcept;
    ~ThreadNotes();
    ThreadNotes(const ThreadNotes&) = delete;
    ThreadNotes& operator=(const ThreadNotes&) = delete;

private:
    Notes* earlier_;
};

// Notes a rare event.
inline void note(std::string text) {
    if (Notes* notes = of_this_thread()) notes->taken.push_back(std::move(text));
}

// Notes an event of every call, made by `text()`, if the call wants those.
template <class Text>
void note_everyday(Text&& text) {
    Notes* notes = of_this_thread();
    if (notes != nullptr && notes->everyday) notes->taken.push_back(std::forward<Text>(text)());
}

}  // namespace zelto::debug_notes
