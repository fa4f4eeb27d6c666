// A table of catalogue objects in numbered slots, as the main window keeps its forms and
// components: slot k (from 1) holds the object of section k, or is empty. Read as a list, it ends
// at the first empty slot. It grows as far as the catalogue goes, so no section can overrun it.
// The table owns its objects; one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace catalogue {

template <class T>
class Tabela {
public:
    // The object in slot k, or nullptr when the slot is empty, beyond the table, or k is 0.
    T* Slot(std::size_t k) const {
        return k >= 1 && k <= slots_.size() ? slots_[k - 1].get() : nullptr;
    }

    // Puts `item` into slot k (from 1), replacing what was there; the table grows as needed.
    T& SetSlot(std::size_t k, std::unique_ptr<T> item) {
        if (k == 0 || !item)
            throw std::invalid_argument("Tabela::SetSlot needs a slot from 1 and an object");
        if (slots_.size() < k)
            slots_.resize(k);
        slots_[k - 1] = std::move(item);
        return *slots_[k - 1];
    }

    // The length of the list: the slots before the first empty one.
    std::size_t Count() const {
        std::size_t n = 0;
        while (n < slots_.size() && slots_[n])
            ++n;
        return n;
    }

    // Empties every slot above k (all of them for k = 0).
    void Truncate(std::size_t k) {
        if (slots_.size() > k)
            slots_.resize(k);
    }

    void Clear() { slots_.clear(); }

private:
    std::vector<std::unique_ptr<T>> slots_;
};

}  // namespace catalogue
