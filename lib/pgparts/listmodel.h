/*
 * listmodel.h - the tree model of the plug-ins' live lists: rows a
 * plug-in keeps itself (a ring, a table), read in place through an
 * operation table, at most one level of child rows. GUI thread only.
 *
 * Rows are positions first .. end - 1, counted on for the life of the
 * model (a ring's sequence numbers): row i of the view is position
 * first + i. An iterator holds its position (and child), so it stays
 * valid while its row is shown, however often the ring wraps meanwhile;
 * pg_list_reset changes the stamp and so ends every iterator.
 *
 * A plug-in's model is a record that begins with a PgList, made by
 * pg_list_new under a type name of its own; the view is told of changes
 * only by the calls below, so between two of them the model is exactly
 * what the view was last told.
 */
#ifndef PGPARTS_LISTMODEL_H
#define PGPARTS_LISTMODEL_H

#include <gtk/gtk.h>
#include <stdint.h>

struct PgList;

struct pg_list_ops {
    int n_columns;
    GType (*column_type)(int col);
    /* GTK_TREE_MODEL_ITERS_PERSIST or 0; LIST_ONLY is added for a flat list. */
    GtkTreeModelFlags flags;
    /* Fills value, already of the column's type, from the row at pos (its
     * child row when child >= 0); left unset for an empty cell. */
    void (*value)(PgList *l, uint64_t pos, int child, int col, GValue *value);
    /* Child rows of the row at pos; null for a flat list. */
    int (*children)(PgList *l, uint64_t pos);
    /* Frees what the record holds; may be null. */
    void (*finalize)(PgList *l);
};

struct PgList {
    GObject parent;
    gint stamp;
    const pg_list_ops *ops;
    uint64_t first, end;        /* positions of the rows shown */
};

/* A new model of size bytes (sizeof the plug-in's record, zeroed) of the
 * type called type_name. */
PgList *pg_list_new(const char *type_name, size_t size, const pg_list_ops *ops);
/* The type called type_name, for records of size bytes: registered at the
 * first call. */
GType pg_list_type(const char *type_name, size_t size);

static inline uint64_t pg_list_rows(const PgList *l)
{
    return l->end - l->first;
}

/* The position (and child, -1 for a row) of a valid iterator; inline, as
 * a view asks at every cell it draws. */
static inline bool pg_list_at(const PgList *l, const GtkTreeIter *it, uint64_t *pos, int *child)
{
    if (!it || it->stamp != l->stamp)
        return false;
    *pos = (uint64_t)(uintptr_t)it->user_data;
    *child = GPOINTER_TO_INT(it->user_data2) - 1;
    return *pos >= l->first && *pos < l->end &&
           (*child < 0 || (l->ops->children && *child < l->ops->children((PgList *)l, *pos)));
}
void pg_list_iter(const PgList *l, GtkTreeIter *it, uint64_t pos, int child);

/* Up to n rows more at the end, each told to the view; rows with children
 * tell so. Returns the rows added. */
uint64_t pg_list_append(PgList *l, uint64_t n);
/* n rows before the first (positions first - n .. first - 1). */
uint64_t pg_list_prepend(PgList *l, uint64_t n);
/* Drop up to n rows at the front or at the back; returns the rows gone. */
uint64_t pg_list_drop_front(PgList *l, uint64_t n);
uint64_t pg_list_drop_back(PgList *l, uint64_t n);
/* A row at view index i, the rows from i on moving down one position
 * (for a table kept in order; iterators past i then point one row on). */
void pg_list_insert(PgList *l, uint64_t i);
/* The row at pos reads anew. */
void pg_list_changed(PgList *l, uint64_t pos);

/* Moves the shown positions by k without a word to the view, for a view
 * that scrolls its pixels to match, or an empty list jumping ahead. */
void pg_list_shift(PgList *l, uint64_t k);
/* Shows positions first .. end - 1 and ends every iterator, telling the
 * view nothing: for a model detached from its view meanwhile. */
void pg_list_reset(PgList *l, uint64_t first, uint64_t end);

#endif /* PGPARTS_LISTMODEL_H */
