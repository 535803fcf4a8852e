"""A small shop's data assets: raw tables, and what is derived from them."""
