"""Load-flow engine for unbalanced multi-conductor distribution networks."""
