"""Sylvor random forests with the scikit-learn estimator API.

``ForestClassifier`` and ``ForestRegressor`` learn and apply forests through
the ``PySylvor_wrap`` extension; their models can be saved as, and loaded
from, the model files of the ``sylvor`` command-line program.
"""
from ._forest import ForestClassifier, ForestRegressor
from ._graphviz import export_graphviz
from ._intervals import interval_coverage
from ._trees import SylvorTree
from . import plot

__all__ = ["ForestClassifier", "ForestRegressor", "SylvorTree", "export_graphviz", "interval_coverage", "plot"]
