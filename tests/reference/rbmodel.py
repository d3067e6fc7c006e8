"""A small red-black tree with FastRedBlackTree's rules: the reference for its shape.

One node per distinct size, a count standing for the node's block and its chain. Inserting a
size that is present, or removing one block of a node that has more, leaves the shape alone.
Removal is the textbook one without a sentinel leaf, so the repair is skipped wherever the
replacement position is empty: the tree keeps its order but may end up deeper than a full
red-black tree.
"""

from __future__ import annotations

RED, BLACK = 0, 1


class Node:
    __slots__ = ("size", "count", "color", "parent", "left", "right")

    def __init__(self, size: int) -> None:
        self.size, self.count, self.color = size, 1, RED
        self.parent = self.left = self.right = None


def is_black(node: Node | None) -> bool:
    return node is None or node.color == BLACK


class RBModel:
    def __init__(self) -> None:
        self.root: Node | None = None

    # --- what the native tree reports

    def preorder(self) -> list[tuple[int, int]]:
        """(size, blocks at that size) in pre-order: get_size_distribution().items()."""
        out, stack = [], [self.root]
        while stack:
            node = stack.pop()
            if node is not None:
                out.append((node.size, node.count))
                stack += [node.right, node.left]
        return out

    def height(self) -> int:
        best, stack = 0, [(self.root, 1)]
        while stack:
            node, depth = stack.pop()
            if node is not None:
                best = max(best, depth)
                stack += [(node.left, depth + 1), (node.right, depth + 1)]
        return best

    def find(self, size: int) -> Node | None:
        node = self.root
        while node is not None and node.size != size:
            node = node.left if size < node.size else node.right
        return node

    def best_fit(self, size: int) -> int | None:
        """The smallest stored size that is at least `size`."""
        node, found = self.root, None
        while node is not None:
            if node.size < size:
                node = node.right
            else:
                found, node = node.size, node.left
        return found

    # --- changes

    def insert(self, size: int) -> None:
        existing = self.find(size)
        if existing is not None:
            existing.count += 1
            return
        z, parent, node = Node(size), None, self.root
        while node is not None:
            parent, node = node, (node.left if size < node.size else node.right)
        z.parent = parent
        if parent is None:
            self.root = z
        elif size < parent.size:
            parent.left = z
        else:
            parent.right = z
        self._insert_fixup(z)

    def remove_one(self, size: int) -> None:
        """Takes one block of `size` out (which must be stored)."""
        node = self.find(size)
        if node.count > 1:
            node.count -= 1  # a chain record moves into the node
        else:
            self._delete(node)

    # --- textbook repairs

    def _rotate(self, x: Node, left: bool) -> None:
        y = x.right if left else x.left
        inner = y.left if left else y.right
        if left:
            x.right = inner
        else:
            x.left = inner
        if inner is not None:
            inner.parent = x
        self._transplant(x, y)
        if left:
            y.left = x
        else:
            y.right = x
        x.parent = y

    def _insert_fixup(self, z: Node) -> None:
        while z.parent is not None and z.parent.color == RED and z.parent.parent is not None:
            g = z.parent.parent
            parent_left = z.parent is g.left
            uncle = g.right if parent_left else g.left
            if not is_black(uncle):
                z.parent.color = uncle.color = BLACK
                g.color = RED
                z = g
                continue
            if z is (z.parent.right if parent_left else z.parent.left):
                z = z.parent
                self._rotate(z, parent_left)
            z.parent.color = BLACK
            g.color = RED
            self._rotate(g, not parent_left)
        self.root.color = BLACK

    def _transplant(self, u: Node, v: Node | None) -> None:
        if u.parent is None:
            self.root = v
        elif u is u.parent.left:
            u.parent.left = v
        else:
            u.parent.right = v
        if v is not None:
            v.parent = u.parent

    def _delete(self, z: Node) -> None:
        if z.left is None:
            x = z.right
            self._transplant(z, x)
            repair = z.color == BLACK and x is not None
        elif z.right is None:
            x = z.left
            self._transplant(z, x)
            repair = z.color == BLACK
        else:
            y = z.right
            while y.left is not None:
                y = y.left
            removed_color, x = y.color, y.right
            if y.parent is not z:
                self._transplant(y, x)
                y.right = z.right
                y.right.parent = y
            elif x is not None:
                x.parent = y
            self._transplant(z, y)
            y.left = z.left
            y.left.parent = y
            y.color = z.color
            repair = x is not None and removed_color == BLACK
        if repair:
            self._delete_fixup(x)

    def _delete_fixup(self, x: Node) -> None:
        while x is not self.root and x.color == BLACK:
            p = x.parent
            x_left = x is p.left
            w = p.right if x_left else p.left
            if w is None:
                x = p
                continue
            if w.color == RED:
                w.color, p.color = BLACK, RED
                self._rotate(p, x_left)
                w = p.right if x_left else p.left
                if w is None:
                    x = p
                    continue
            near, far = (w.left, w.right) if x_left else (w.right, w.left)
            if is_black(near) and is_black(far):
                w.color = RED
                x = p
                continue
            if is_black(far):
                near.color, w.color = BLACK, RED
                self._rotate(w, not x_left)
                w = p.right if x_left else p.left
                if w is None:
                    x = self.root
                    break
                far = w.right if x_left else w.left
            w.color, p.color = p.color, BLACK
            if far is not None:
                far.color = BLACK
            self._rotate(p, x_left)
            x = self.root
        x.color = BLACK
