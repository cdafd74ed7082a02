// File names that a stop signal's handler may read while the program runs on: one thread fills and frees
// the slots, the handler only reads them. A slot is filled before it is marked in use and marked free before
// its name stops being meant, so the handler never reads half a name. Meant for objects of static storage.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstring>
#include <string>

template <int Slots>
class SignalSafeNames {
public:
    static constexpr int kSlots = Slots;
    static constexpr size_t kNameMax = 4096;

    // The slot that now holds name, or -1 when the name is too long or every slot is taken.
    int Remember(const std::string& name) {
        if (name.size() >= kNameMax)
            return -1;
        for (int i = 0; i < Slots; ++i) {
            if (!m_inUse[i]) {
                std::memcpy(m_names[i], name.c_str(), name.size() + 1);
                m_inUse[i] = 1;
                return i;
            }
        }
        return -1;
    }
    // Frees the slot, if any, and sets it to -1.
    void Forget(int& slot) {
        if (slot >= 0)
            m_inUse[slot] = 0;
        slot = -1;
    }
    bool InUse(int slot) const { return m_inUse[slot] != 0; }
    const char* Name(int slot) const { return m_names[slot]; }
    // For filling in a name in place while it is in use (mkstemp's XXXXXX): its length must not change.
    char* NameToFill(int slot) { return m_names[slot]; }

private:
    char m_names[Slots][kNameMax];
    volatile sig_atomic_t m_inUse[Slots];
};
