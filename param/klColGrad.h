#pragma once
// Colour gradients: nodes with a colour, a position and an id, evaluated by
// linear or cubic interpolation between neighbouring nodes (wrapping across
// position 1 -> 0 when cyclic).
//
// Nodes are kept in order of addition and, separately, sorted by position (nodes
// at the same position keep their order of addition). A reset gradient has two
// nodes, id 0 at 0.0 and id 1 at 1.0, linear and not cyclic.
#include "param/klParamTypes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

template <class Colour>
struct KlGradNode {
    Colour colour{};
    float position = 0.0f;
    int32_t id = -1;
    bool operator==(const KlGradNode&) const = default;
};

template <class Colour>
class KlGradDescription {
public:
    using Node = KlGradNode<Colour>;
    enum Interpolation : int32_t { Linear = 0, Cubic = 1 };

    // A reset gradient whose two nodes have every channel 0.
    KlGradDescription() { resetWith(Colour{}, Colour{}); }
    virtual ~KlGradDescription() = default;

    // Two nodes, linear, not cyclic, in this class's reset colours.
    virtual void reset() { resetWith(Colour{}, Colour{}); }

    // With id >= 0: replaces the colour and position of the node with that id, or
    // appends a node with that id when there is none. With id < 0: appends a node
    // with the next unused id.
    void setNode(const Colour& colour, float position, int32_t id = -1)
    {
        if (id >= 0) {
            for (Node& n : nodes_)
                if (n.id == id) {
                    n.colour = colour;
                    n.position = position;
                    resort();
                    return;
                }
        } else {
            id = nextId();
        }
        nodes_.push_back(Node{colour, position, id});
        resort();
    }

    const std::vector<Node>& nodes() const { return nodes_; }
    const std::vector<Node>& sortedNodes() const { return sorted_; }

    Interpolation interpolation() const { return interpolation_; }
    void setInterpolation(Interpolation i) { interpolation_ = i; }
    bool cyclic() const { return cyclic_; }
    void setCyclic(bool c) { cyclic_ = c; }

    // The colour at a position.
    Colour evaluate(float position) const
    {
        const std::vector<Node>& s = sorted_;
        if (s.empty()) return Colour{};
        if (s.size() == 1) return s[0].colour;
        int n = static_cast<int>(s.size());
        if (cyclic_) position -= std::floor(position);
        // k: the last node at or before the position (-1: before the first node).
        int k = -1;
        while (k + 1 < n && s[k + 1].position <= position) ++k;
        int i0, i1;
        float p0, p1;
        if (k < 0 || k == n - 1) {
            if (!cyclic_) return k < 0 ? s[0].colour : s[n - 1].colour;
            i0 = n - 1, i1 = 0;  // across the wrap
            p0 = s[i0].position - (k < 0 ? 1.0f : 0.0f);
            p1 = s[i1].position + (k < 0 ? 0.0f : 1.0f);
        } else {
            i0 = k, i1 = k + 1;
            p0 = s[i0].position, p1 = s[i1].position;
        }
        float t = p1 > p0 ? (position - p0) / (p1 - p0) : 0.0f;
        if (interpolation_ == Linear) return mix(s[i0].colour, s[i1].colour, t);
        auto at = [&](int i) -> const Colour& {
            if (cyclic_) return s[((i % n) + n) % n].colour;
            return s[std::clamp(i, 0, n - 1)].colour;
        };
        return catmullRom(at(i0 - 1), s[i0].colour, s[i1].colour, at(i1 + 1), t);
    }

    bool operator==(const KlGradDescription& o) const
    {
        return sorted_ == o.sorted_ && interpolation_ == o.interpolation_ && cyclic_ == o.cyclic_;
    }

protected:
    void resetWith(const Colour& first, const Colour& last)
    {
        nodes_ = {Node{first, 0.0f, 0}, Node{last, 1.0f, 1}};
        interpolation_ = Linear;
        cyclic_ = false;
        resort();
    }

private:
    // One above the highest id, or the lowest free id when that would overflow.
    int32_t nextId() const
    {
        int64_t next = 0;
        for (const Node& n : nodes_) next = std::max<int64_t>(next, int64_t(n.id) + 1);
        if (next <= INT32_MAX) return static_cast<int32_t>(next);
        for (int32_t id = 0;; ++id)
            if (std::none_of(nodes_.begin(), nodes_.end(), [id](const Node& n) { return n.id == id; }))
                return id;
    }
    void resort()
    {
        sorted_ = nodes_;
        std::stable_sort(sorted_.begin(), sorted_.end(),
                         [](const Node& a, const Node& b) { return a.position < b.position; });
    }
    static Colour mix(const Colour& a, const Colour& b, float t)
    {
        Colour c;
        for (int i = 0; i < Colour::channels; ++i) c[i] = a[i] + (b[i] - a[i]) * t;
        return c;
    }
    static Colour catmullRom(const Colour& a, const Colour& b, const Colour& c, const Colour& d, float t)
    {
        Colour r;
        float t2 = t * t, t3 = t2 * t;
        for (int i = 0; i < Colour::channels; ++i)
            r[i] = 0.5f *
                   (2.0f * b[i] + (c[i] - a[i]) * t + (2.0f * a[i] - 5.0f * b[i] + 4.0f * c[i] - d[i]) * t2 +
                    (3.0f * b[i] - a[i] - 3.0f * c[i] + d[i]) * t3);
        return r;
    }

    std::vector<Node> nodes_;
    std::vector<Node> sorted_;
    Interpolation interpolation_ = Linear;
    bool cyclic_ = false;
};

// The gradient of a Grad parameter: RGBA float colours, reset to opaque black at
// 0.0 and opaque white at 1.0.
class KlColGradDescription : public KlGradDescription<KlRGBAColF> {
public:
    KlColGradDescription() { reset(); }
    void reset() override { resetWith(KlRGBAColF(0, 0, 0, 1), KlRGBAColF(1, 1, 1, 1)); }
};
