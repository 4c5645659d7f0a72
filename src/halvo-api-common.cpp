/* halvo-api-common.cpp - the result-callback registry.
 *
 * One row per callback kind, where an application parks a callback, the
 * address of the device it concerns and an opaque pointer.  The library
 * itself never looks at it.  Every row is read and written under the
 * library's lock.  Each call sets the thread's last failure: an unknown
 * kind (or no record) is an invalid argument. */
#include "halvo-api-private.h"

#include <cstdlib>
#include <cstring>

#define HALVO_CB_TYPE_COUNT 3

/* Row i holds kind i; a row is registered while its callback is set. */
static halvo_cb_container_s callback_containers[HALVO_CB_TYPE_COUNT] = {
    {0, nullptr, nullptr, nullptr},
    {1, nullptr, nullptr, nullptr},
    {2, nullptr, nullptr, nullptr},
};

/* The row of @cb_type, or NULL (logged) for a kind the registry has not. */
static halvo_cb_container_s *row_of(int cb_type) noexcept
{
    if (cb_type < 0 || cb_type >= HALVO_CB_TYPE_COUNT) {
        ERR("no such cb_type : [%d]", cb_type);
        halvo_core::plain_result(HALVO_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    halvo_core::plain_result(HALVO_ERROR_NONE);
    return &callback_containers[cb_type];
}

static const char *shown(const char *address) noexcept
{
    return address ? address : "(null)";
}

/* A NULL address registers without one; a later get hands back NULL. */
void _halvo_set_cb(int cb_type, const char *remote_address, void *callback, void *user_data) noexcept
{
    ENTER();
    halvo_cb_container_s *row = row_of(cb_type);
    if (row == nullptr) {
        EXIT();
        return;
    }
    char *copy = remote_address ? strdup(remote_address) : nullptr;
    halvo_core::Locked hold(halvo_core::state_lock);
    free(row->remote_address);
    row->remote_address = copy;
    row->callback = callback;
    row->user_data = user_data;
    DBG("setting cb_type : [%d], remote_address = [%s]", cb_type, shown(copy));
    EXIT();
}

/* Fills @container (its cb_type set by the caller) from a registered row;
 * the address is a new copy that the caller frees.  An unregistered row
 * leaves the record as it was. */
void _halvo_get_cb(halvo_cb_container_s *container) noexcept
{
    ENTER();
    halvo_cb_container_s *row = container ? row_of(container->cb_type) : nullptr;
    if (container == nullptr)
        halvo_core::plain_result(HALVO_ERROR_INVALID_PARAMETER);
    if (row == nullptr) {
        EXIT();
        return;
    }
    halvo_core::Locked hold(halvo_core::state_lock);
    DBG("requested cb_type : [%d], remote_address = [%s]", container->cb_type, shown(row->remote_address));
    if (row->callback != nullptr) {
        container->callback = row->callback;
        container->user_data = row->user_data;
        container->remote_address = row->remote_address ? strdup(row->remote_address) : nullptr;
    }
    EXIT();
}

void _halvo_unset_cb(int cb_type) noexcept
{
    halvo_cb_container_s *row = row_of(cb_type);
    if (row == nullptr)
        return;
    halvo_core::Locked hold(halvo_core::state_lock);
    if (row->callback == nullptr)
        return;
    ENTER();
    row->callback = nullptr;
    row->user_data = nullptr;
    free(row->remote_address);
    row->remote_address = nullptr;
    EXIT();
}
