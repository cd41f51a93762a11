// The cache behind the global-name lookups and module attribute reads of
// capi.h (lookup_global, get_attr), one per shared library.
#ifndef VESK_LOOKUP_CACHE_H
#define VESK_LOOKUP_CACHE_H

#include "dict_read.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vesk {

// What recent lookups of names in dicts found, so that a function called
// again and again does not search the module namespace afresh each time.
// Like the interpreter's own caches, an entry holds only while its dict is
// unchanged: it is used for the same dict and the same name object, and only
// while the dict's stamp is the one it had when the entry was made:
// - up to 3.13, the dict's version tag, which changes with every change of
//   the dict and is never given to another dict;
// - from 3.14, which has no tag, a count of the changes of every dict the
//   cache watches (dict watchers, which hear of each change before it is
//   made and of the dict's end). One count for all keeps the watcher's work
//   to an increment: a change anywhere only makes the next lookups search.
// Only dicts whose keys are all exact str are cached, as their lookups
// compare keys without running any code of the program (a key of a str
// subclass could answer differently from one lookup to the next while the
// dict stays as it is). So a hit returns exactly what a fresh lookup would;
// the value needs no reference of its own, as the unchanged dict still
// holds it. A lazy import's placeholder (3.15) is never kept: it stands for
// a value not there yet. Not in free-threaded builds, where another thread
// could change a dict between the test and the use.
//
// The entries are sets of a few ways, the set chosen from the dict's and the
// name's addresses: a function's handful of names never evict each other
// however the addresses fall, so no process draws a layout where its calls
// miss again and again. A new entry goes first in its set and the others
// move back, the last one out. The first ways are tried inline, the rest
// out of line; a hit there trades places with the entry before it, so the
// entries in use gather in front whatever was added after them, and names
// used in turn, more than the inline ways hold, trade places only at the
// edge of the inline ways.
#if !defined(Py_GIL_DISABLED)
class DictLookupCache {
 public:
    // dict[name], `dict` being the namespace of the plain module `module`;
    // empty without an exception when it is absent. Never a placeholder: a
    // hit never is one, and a search resolves it.
    [[gnu::always_inline]] Ref find(PyObject* module, PyObject* dict, PyObject* name) {
        if (PyUnicode_CheckExact(name)) {
            const Entry* set = entries_[set_of(dict, name)];
            std::uint64_t now = stamp(dict);
#pragma GCC unroll 4
            for (std::size_t way = 0; way < kInlineWays; ++way) {
                if (set[way].dict == dict && set[way].name == name && set[way].stamp == now) {
                    return Ref::borrow(set[way].value);
                }
            }
        }
        return find_further(module, dict, name);
    }

 private:
    struct Entry {
        PyObject* dict;  // compared only, never dereferenced
        PyObject* name;  // strong
        std::uint64_t stamp;
        PyObject* value;  // borrowed from the dict

        bool matches(PyObject* d, PyObject* n) const {
            return dict == d && name == n && stamp == DictLookupCache::stamp(d);
        }
    };
    // Whether the keys of one dict at one stamp are all exact str: walked
    // once (a walk runs no code of the program) and remembered for a few
    // dicts, as a function reads its own module's namespace and those of
    // the modules it calls into, in turn.
    struct KeysChecked {
        PyObject* dict;  // compared only, never dereferenced
        std::uint64_t stamp;
        bool exact_str;
    };

#ifdef VESK_CACHE_ONE_SET
    // Every entry in one set: the worst layout a process could draw.
    static constexpr std::size_t kSets = 1;
#else
    static constexpr std::size_t kSets = 8;
#endif
    static constexpr std::size_t kWays = 8;
    static constexpr std::size_t kInlineWays = 3;
    static constexpr std::size_t kKeysChecked = 8;

    static std::size_t set_of(PyObject* dict, PyObject* name) {
        auto bits = reinterpret_cast<std::uintptr_t>(name) ^
                    (reinterpret_cast<std::uintptr_t>(dict) >> 3);
        return (bits >> 4) & (kSets - 1);
    }

    // The ways not tried inline, then the lookup itself (kept out of line:
    // the hit above is what runs again and again).
    [[gnu::noinline]] Ref find_further(PyObject* module, PyObject* dict, PyObject* name) {
        bool cacheable = PyUnicode_CheckExact(name);
        if (cacheable) {
            Entry* set = entries_[set_of(dict, name)];
            for (std::size_t way = kInlineWays; way < kWays; ++way) {
                if (set[way].matches(dict, name)) {
                    // One way forward: an entry used again and again
                    // soon reaches the inline ways.
                    std::swap(set[way], set[way - 1]);
                    return Ref::borrow(set[way - 1].value);
                }
            }
        }
        cacheable = cacheable && watch(dict);
        std::uint64_t before = stamp(dict);
        PyObject* value = PyDict_GetItemWithError(dict, name);
        // Only a result that no change during the search can have touched.
        if (value != nullptr && cacheable && !is_lazy_import(value) && stamp(dict) == before &&
            has_only_exact_str_keys(dict, before)) {
            remember(Entry{dict, name, before, value});
        }
        return resolved(Ref::borrow(value), module, name);
    }

    void remember(const Entry& entry) {
        Entry* set = entries_[set_of(entry.dict, entry.name)];
        PyObject* evicted = set[kWays - 1].name;
        for (std::size_t way = kWays - 1; way > 0; --way) {
            set[way] = set[way - 1];
        }
        Py_INCREF(entry.name);  // keeps the identity test sound
        set[0] = entry;
        Py_XDECREF(evicted);  // a str: frees without running code
    }

#if PY_VERSION_HEX < 0x030E0000
    static std::uint64_t stamp(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // 3.12 deprecates the tag
        return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
    }

    static bool watch(PyObject*) { return true; }
#else
    // Starts above the zero of entries never made.
    static std::uint64_t stamp(PyObject*) { return changes_; }

    // Has the dict watched; false (and no caching) where no watcher is to
    // be had: the interpreter has a few for all extensions.
    bool watch(PyObject* dict) {
        if (watcher_ == kNotYet) {
            watcher_ = PyDict_AddWatcher(count_change);
            if (watcher_ < 0) {
                PyErr_Clear();
                watcher_ = kNone;
            }
        }
        if (watcher_ < 0) {
            return false;
        }
        if (PyDict_Watch(watcher_, dict) < 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    static int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
        ++changes_;
        return 0;
    }

    static constexpr int kNotYet = -1;
    static constexpr int kNone = -2;
    int watcher_ = kNotYet;
    inline static std::uint64_t changes_ = 1;
#endif

    bool has_only_exact_str_keys(PyObject* dict, std::uint64_t dict_stamp) {
        for (const KeysChecked& checked : keys_checked_) {
            if (checked.dict == dict && checked.stamp == dict_stamp) {
                return checked.exact_str;
            }
        }
        bool exact_str = true;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (exact_str && PyDict_Next(dict, &pos, &key, &value)) {
            exact_str = PyUnicode_CheckExact(key);
        }
        keys_checked_[next_keys_checked_] = KeysChecked{dict, dict_stamp, exact_str};
        next_keys_checked_ = (next_keys_checked_ + 1) % kKeysChecked;
        return exact_str;
    }

    Entry entries_[kSets][kWays] = {};
    KeysChecked keys_checked_[kKeysChecked] = {};
    std::size_t next_keys_checked_ = 0;
};
#else
class DictLookupCache {
 public:
    Ref find(PyObject* module, PyObject* dict, PyObject* name) {
        return resolved(dict_get(dict, name), module, name);
    }
};
#endif

// One per shared library.
inline DictLookupCache dict_lookup_cache;

}  // namespace vesk

#endif  // VESK_LOOKUP_CACHE_H
