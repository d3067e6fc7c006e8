"""Training and serving a churn classifier with scikit-learn."""

from sklearn.ensemble import RandomForestClassifier
from sklearn.metrics import classification_report, roc_auc_score
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler


def build_pipeline(n_estimators=200):
    """Scaling followed by a random forest, as one estimator."""
    return Pipeline([
        ("scale", StandardScaler()),
        ("forest", RandomForestClassifier(n_estimators=n_estimators, n_jobs=-1)),
    ])


def train_churn_model(features, labels):
    """Hold out a test split, tune the forest by cross-validated grid search, report the score."""
    x_train, x_test, y_train, y_test = train_test_split(features, labels, test_size=0.2, stratify=labels)
    search = GridSearchCV(build_pipeline(), {"forest__max_depth": [4, 8, None]}, cv=5, scoring="roc_auc")
    search.fit(x_train, y_train)
    probabilities = search.predict_proba(x_test)[:, 1]
    print(classification_report(y_test, search.predict(x_test)))
    return search.best_estimator_, roc_auc_score(y_test, probabilities)


def score_customers(model, customers, cutoff=0.5):
    """Predict the churn probability of each customer and flag those above the cutoff."""
    probabilities = model.predict_proba(customers)[:, 1]
    return [(index, p) for index, p in enumerate(probabilities) if p > cutoff]


def feature_importances(model, names):
    """The forest's feature importances, largest first."""
    forest = model.named_steps["forest"]
    return sorted(zip(names, forest.feature_importances_), key=lambda item: -item[1])
