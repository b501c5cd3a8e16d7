// 8-bit rows, while no square sum can reach 2^53 within the row: min, max,
// sum and the squares, summed exactly as integers in 32-bit lanes, in one
// pass. (Part of loops.h.)

template <class V> void narrow_loop(const pixel *pixels, std::size_t count, ChannelTotals &totals) {
    using vec = typename V::vec;
    constexpr std::size_t W = V::lanes;
    Extremes<V> e0(0, totals), e1(1, totals), e2(2, totals);
    vec squares0 = V::zero(), squares1 = V::zero(), squares2 = V::zero();
    Lanes<V>::template for_each_block<V::narrow_unroll>(pixels, count, [&](const std::uint32_t *s) {
        const vec v0 = V::load(s), v1 = V::load(s + W), v2 = V::load(s + 2 * W);
        e0.add(v0);
        e1.add(v1);
        e2.add(v2);
        squares0 = V::add(squares0, V::square_narrow(v0));
        squares1 = V::add(squares1, V::square_narrow(v1));
        squares2 = V::add(squares2, V::square_narrow(v2));
    });
    fold_extremes(e0, e1, e2, totals);
    Lanes<V>::fold(squares0, squares1, squares2,
                   [&](unsigned c, std::uint32_t v) { totals.sum_sq[c] += v; });
}
