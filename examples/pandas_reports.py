"""Reporting on sales records with pandas: cleaning, monthly totals, a pivot table, joins."""

import pandas as pd


def load_orders(path):
    """Read the order export, parse the dates and drop cancelled orders."""
    orders = pd.read_csv(path, parse_dates=["ordered_at"])
    orders = orders[orders["status"] != "cancelled"]
    return orders.sort_values("ordered_at").reset_index(drop=True)


def monthly_revenue(orders):
    """Revenue and order count per calendar month."""
    monthly = orders.set_index("ordered_at").resample("MS")
    return pd.DataFrame({"revenue": monthly["amount"].sum(), "orders": monthly["order_id"].count()})


def revenue_by_region(orders, customers):
    """Join the orders to their customers and total the revenue of each region."""
    joined = orders.merge(customers, on="customer_id", how="left")
    return joined.groupby("region")["amount"].agg(["sum", "mean", "count"])


def product_pivot(orders):
    """One row per product, one column per quarter, the quantity sold in each cell."""
    orders = orders.assign(quarter=orders["ordered_at"].dt.to_period("Q"))
    return pd.pivot_table(orders, index="product", columns="quarter", values="quantity", aggfunc="sum")


def rolling_average_basket(orders, window=30):
    """Average basket size over a rolling window of days."""
    daily = orders.groupby(orders["ordered_at"].dt.date)["amount"].mean()
    return pd.Series(daily).rolling(window, min_periods=1).mean()
