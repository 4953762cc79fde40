/*
 * listmodel_test.cpp - the plug-ins' live list model: iterators across a
 * ring's wrap, row signals a view can follow, a two-level tree.
 */
#include <gtest/gtest.h>

#include <vector>

#include "listmodel.h"

namespace {

/* A ring of 4 lines: position p reads (p + 1) * 10 while the ring keeps
 * it, its children (p + 1) * 10 + 1, + 2 ... */
struct Ring {
    PgList list;
    uint64_t oldest, next;
    int kids;                   /* child rows of row p: p % kids, 0 for a flat list */
};

GType types(int col)
{
    return col == 0 ? G_TYPE_INT : G_TYPE_STRING;
}

void ring_value(PgList *l, uint64_t pos, int child, int col, GValue *v)
{
    const Ring *r = (const Ring *)l;
    if (pos < r->oldest || pos >= r->next)
        return;                 /* overwritten since: an empty line */
    if (col == 0)
        g_value_set_int(v, (int)(pos + 1) * 10 + child + 1);
    else
        g_value_set_static_string(v, "x");
}

int ring_children(PgList *l, uint64_t pos)
{
    const Ring *r = (const Ring *)l;
    return (int)(pos % (uint64_t)r->kids);
}

const pg_list_ops flat_ops = {2, types, GTK_TREE_MODEL_ITERS_PERSIST, ring_value, nullptr, nullptr};
const pg_list_ops tree_ops = {2, types, (GtkTreeModelFlags)0, ring_value, ring_children, nullptr};

void add(Ring *r, int n)
{
    r->next += n;
    if (r->next - r->oldest > 4)
        r->oldest = r->next - 4;
}

int value_of(GtkTreeModel *m, GtkTreeIter *it)
{
    int v = -1;
    gtk_tree_model_get(m, it, 0, &v, -1);
    return v;
}

/* What a view relies on at each signal: the row count it keeps matches the
 * model's, and an inserted row reads at its path. */
struct Watch {
    int rows = 0;
    std::vector<int> log;       /* +index inserted, -index - 1 deleted, 1000 + index toggled */
    bool consistent = true;
};

void on_inserted(GtkTreeModel *m, GtkTreePath *path, GtkTreeIter *it, gpointer data)
{
    Watch *w = (Watch *)data;
    if (gtk_tree_path_get_depth(path) != 1)
        return;
    w->rows++;
    GtkTreeIter at;
    w->consistent = w->consistent && w->rows == gtk_tree_model_iter_n_children(m, nullptr) &&
                    gtk_tree_model_get_iter(m, &at, path) && value_of(m, &at) == value_of(m, it);
    w->log.push_back(gtk_tree_path_get_indices(path)[0]);
}

void on_deleted(GtkTreeModel *m, GtkTreePath *path, gpointer data)
{
    Watch *w = (Watch *)data;
    w->rows--;
    w->consistent = w->consistent && w->rows == gtk_tree_model_iter_n_children(m, nullptr);
    w->log.push_back(-gtk_tree_path_get_indices(path)[0] - 1);
}

void on_toggled(GtkTreeModel *, GtkTreePath *path, GtkTreeIter *, gpointer data)
{
    ((Watch *)data)->log.push_back(1000 + gtk_tree_path_get_indices(path)[0]);
}

Ring *new_ring(const pg_list_ops *ops, int kids, Watch *w)
{
    Ring *r = (Ring *)pg_list_new(ops == &flat_ops ? "TestRing" : "TestTree", sizeof(Ring), ops);
    r->kids = kids;
    g_signal_connect(r, "row-inserted", G_CALLBACK(on_inserted), w);
    g_signal_connect(r, "row-deleted", G_CALLBACK(on_deleted), w);
    g_signal_connect(r, "row-has-child-toggled", G_CALLBACK(on_toggled), w);
    return r;
}

TEST(ListModel, IteratorsStayOnTheirRowAcrossTheRingsWrap)
{
    Watch w;
    Ring *r = new_ring(&flat_ops, 1, &w);
    GtkTreeModel *m = GTK_TREE_MODEL(r);
    EXPECT_EQ(pg_list_type("TestRing", sizeof(Ring)), G_OBJECT_TYPE(r));
    EXPECT_TRUE(gtk_tree_model_get_flags(m) & GTK_TREE_MODEL_LIST_ONLY);

    add(r, 4);
    EXPECT_EQ(pg_list_append(&r->list, 4), 4u);
    GtkTreeIter last, first;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &last, nullptr, 3));
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &first, nullptr, 0));

    /* Three new lines wrap the ring over the oldest three: until the view
     * is told, their rows read empty and the count stays. */
    add(r, 3);
    EXPECT_EQ(value_of(m, &first), 0);
    EXPECT_EQ(gtk_tree_model_iter_n_children(m, nullptr), 4);
    pg_list_drop_front(&r->list, 3);
    pg_list_append(&r->list, 3);
    EXPECT_TRUE(w.consistent);
    EXPECT_EQ(w.log, (std::vector<int>{0, 1, 2, 3, -1, -1, -1, 1, 2, 3}));

    /* The row kept moved up to the top; the row gone has no iterator. */
    EXPECT_EQ(value_of(m, &last), 40);
    GtkTreePath *path = gtk_tree_model_get_path(m, &last);
    EXPECT_EQ(gtk_tree_path_get_indices(path)[0], 0);
    gtk_tree_path_free(path);
    uint64_t pos;
    int child;
    EXPECT_FALSE(pg_list_at(&r->list, &first, &pos, &child));
    EXPECT_FALSE(gtk_tree_model_iter_next(m, &first));

    /* Walking on from the kept row ends at the last. */
    GtkTreeIter it = last;
    int n = 1;
    while (gtk_tree_model_iter_next(m, &it))
        n++;
    EXPECT_EQ(n, 4);

    /* A silent shift (the view scrolls its pixels) keeps the count; a reset
     * ends every iterator. */
    add(r, 2);
    pg_list_shift(&r->list, 2);
    EXPECT_EQ(gtk_tree_model_iter_n_children(m, nullptr), 4);
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &it, nullptr, 3));
    EXPECT_EQ(value_of(m, &it), 90);
    pg_list_reset(&r->list, 6, 9);
    EXPECT_FALSE(pg_list_at(&r->list, &it, &pos, &child));
    EXPECT_EQ(gtk_tree_model_iter_n_children(m, nullptr), 3);
    g_object_unref(r);
}

TEST(ListModel, RunsAtBothEndsAndInsertionsInPlaceAreToldRowByRow)
{
    Watch w;
    Ring *r = new_ring(&flat_ops, 1, &w);
    GtkTreeModel *m = GTK_TREE_MODEL(r);
    add(r, 4);
    pg_list_reset(&r->list, 2, 2);
    EXPECT_EQ(pg_list_append(&r->list, 2), 2u);
    EXPECT_EQ(pg_list_prepend(&r->list, 5), 2u);   /* no position before 0 */
    EXPECT_EQ(pg_list_drop_back(&r->list, 3), 3u);
    EXPECT_EQ(pg_list_drop_front(&r->list, 9), 1u);
    EXPECT_EQ(w.log, (std::vector<int>{0, 1, 0, 0, -4, -3, -2, -1}));
    EXPECT_TRUE(w.consistent);
    EXPECT_EQ(pg_list_rows(&r->list), 0u);

    /* A row in the middle of a table kept in order. */
    w.log.clear();
    pg_list_reset(&r->list, 0, 0);
    w.rows = 0;
    pg_list_append(&r->list, 3);
    pg_list_insert(&r->list, 1);
    EXPECT_EQ(w.log, (std::vector<int>{0, 1, 2, 1}));
    EXPECT_TRUE(w.consistent);
    GtkTreeIter it;
    gint changed = -1;
    g_signal_connect(r, "row-changed",
                     G_CALLBACK(+[](GtkTreeModel *, GtkTreePath *p, GtkTreeIter *, gpointer d) {
                         *(gint *)d = gtk_tree_path_get_indices(p)[0];
                     }),
                     &changed);
    pg_list_changed(&r->list, 9);                   /* not shown: nothing */
    EXPECT_EQ(changed, -1);
    pg_list_changed(&r->list, 2);
    EXPECT_EQ(changed, 2);
    EXPECT_FALSE(gtk_tree_model_iter_nth_child(m, &it, nullptr, 4));
    g_object_unref(r);
}

TEST(ListModel, TwoLevelTreeWalksRowsAndTheirChildren)
{
    Watch w;
    Ring *r = new_ring(&tree_ops, 3, &w);
    GtkTreeModel *m = GTK_TREE_MODEL(r);
    EXPECT_FALSE(gtk_tree_model_get_flags(m) & GTK_TREE_MODEL_LIST_ONLY);
    add(r, 4);
    pg_list_append(&r->list, 3);   /* rows 0, 1, 2 with 0, 1, 2 children */
    EXPECT_EQ(w.log, (std::vector<int>{0, 1, 1001, 2, 1002}));

    GtkTreeIter row, child, up;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &row, nullptr, 0));
    EXPECT_FALSE(gtk_tree_model_iter_has_child(m, &row));
    EXPECT_FALSE(gtk_tree_model_iter_children(m, &child, &row));
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(m, &row, nullptr, 2));
    EXPECT_EQ(gtk_tree_model_iter_n_children(m, &row), 2);
    ASSERT_TRUE(gtk_tree_model_iter_children(m, &child, &row));
    EXPECT_EQ(value_of(m, &child), 31);
    EXPECT_EQ(gtk_tree_model_iter_n_children(m, &child), 0);
    ASSERT_TRUE(gtk_tree_model_iter_parent(m, &up, &child));
    EXPECT_EQ(value_of(m, &up), 30);
    EXPECT_FALSE(gtk_tree_model_iter_parent(m, &up, &row));
    ASSERT_TRUE(gtk_tree_model_iter_next(m, &child));
    EXPECT_EQ(value_of(m, &child), 32);
    EXPECT_FALSE(gtk_tree_model_iter_next(m, &child));

    GtkTreePath *path = gtk_tree_path_new_from_indices(2, 1, -1);
    ASSERT_TRUE(gtk_tree_model_get_iter(m, &child, path));
    GtkTreePath *back = gtk_tree_model_get_path(m, &child);
    EXPECT_EQ(gtk_tree_path_compare(path, back), 0);
    gtk_tree_path_free(back);
    gtk_tree_path_free(path);
    path = gtk_tree_path_new_from_indices(1, 1, -1);   /* row 1 has one child */
    EXPECT_FALSE(gtk_tree_model_get_iter(m, &child, path));
    gtk_tree_path_free(path);

    /* Every row and child, in order. */
    std::vector<int> seen;
    gtk_tree_model_foreach(
        m,
        +[](GtkTreeModel *mm, GtkTreePath *, GtkTreeIter *it, gpointer d) -> gboolean {
            ((std::vector<int> *)d)->push_back(value_of(mm, it));
            return FALSE;
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<int>{10, 20, 21, 30, 31, 32}));
    g_object_unref(r);
}

}  // namespace
