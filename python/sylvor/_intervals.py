"""Prediction intervals of a quantile regression forest, calibrated on its
own training rows out of bag (conformal prediction without a held-out
split).

Each training row with out-of-bag trees has a score: its absolute
residual |y - mean of its out-of-bag trees|, or, scaled, that residual
divided by the row's spread, the interquartile range of its out-of-bag
quantiles plus a floor (a hundredth of the mean spread, so that a row whose
trees all agree does not divide by zero). An interval of level 1 - alpha
is the forest's mean at x plus and minus the ceil((1 - alpha)(m + 1))-th
smallest of the m scores (times x's own spread when scaled). When the rows
are exchangeable, such intervals hold the target with probability at least
1 - alpha; out-of-bag residuals are the residuals of rows that the trees
answering them never saw, which is what makes them honest.

Functions of their arguments; the scores are computed once, at fit.
"""
import math
import warnings

import numpy as np

_SPREAD = (0.25, 0.75)


def conformal_scores(forest, X, y, oob_prediction, threads):
    """The sorted absolute and scaled scores of the training rows X, y
    (as learned) with out-of-bag predictions, and the spread floor."""
    seen = ~np.isnan(oob_prediction)
    residuals = np.abs(y[seen] - oob_prediction[seen])
    quartiles = forest.predict_quantiles(X, list(_SPREAD), threads, out_of_bag=True)[seen]
    spread = quartiles[:, 1] - quartiles[:, 0]
    mean_spread = float(spread.mean()) if len(spread) else 0.0
    floor = 0.01 * mean_spread if mean_spread > 0 else 1.0
    return {"absolute": np.sort(residuals), "scaled": np.sort(residuals / (spread + floor)), "floor": floor}


def interval_half_width(scores, alpha):
    """The ceil((1 - alpha)(m + 1))-th smallest of the m scores (infinite
    when there are too few rows for that level)."""
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha is the share of targets an interval may miss, between 0 and 1, not {alpha!r}")
    m = len(scores)
    rank = math.ceil((1.0 - alpha) * (m + 1) - 1e-9)
    if rank > m:
        warnings.warn(f"{m} out-of-bag residuals are too few for intervals missing at most {alpha} of the targets; "
                      "the intervals are infinite (more rows or trees give more)", UserWarning)
        return math.inf
    return float(scores[rank - 1])


def spread_at(estimator, X):
    """x's spread: the interquartile range of its quantiles."""
    quartiles = estimator.predict_quantiles(X, list(_SPREAD))
    return quartiles[:, 1] - quartiles[:, 0]


def interval_coverage(y_true, intervals):
    """The share of the targets inside their intervals (low <= y <= high)
    and the mean interval width."""
    y_true = np.asarray(y_true, dtype=np.float64).ravel()
    intervals = np.asarray(intervals, dtype=np.float64)
    if intervals.shape != (len(y_true), 2):
        raise ValueError(f"intervals are one (low, high) pair per target: {len(y_true)} x 2, not {intervals.shape}")
    inside = (y_true >= intervals[:, 0]) & (y_true <= intervals[:, 1])
    return float(inside.mean()), float(np.mean(intervals[:, 1] - intervals[:, 0]))
