# The statistics both benchmark scripts print from the rounds of one pair: each input line holds
# the times of side A and side B of one round. Once the input ends, n is the number of rounds,
# a and b hold the sorted times and r the sorted ratios A/B, for a report of the caller's own,
# whose END runs after this one; at(v, n, q) is the quantile q of the sorted v.
{ a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
function sorted(v, n,    i, j, t) {
    for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
}
function at(v, n, q,    k) { k = 1 + q * (n - 1); return v[int(k)] + (k - int(k)) * (v[int(k) + 1] - v[int(k)]) }
END { n = NR; sorted(a, n); sorted(b, n); sorted(r, n) }
