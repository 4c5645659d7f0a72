/* halvo.hpp beside halvo-api.h: the C++ layer's own declarations of the C
 * functions have the C header's types (a compiler rejects a C function
 * declared twice with two types), and its copies of the C values agree. */
#include <halvo/halvo.hpp>

#include <halvo-api.h>

#define SAME(cxx, c) static_assert(int(cxx) == int(c), #cxx " differs from " #c)
using E = halvo::Error;
SAME(E::None, HALVO_ERROR_NONE); SAME(E::NotInitialized, HALVO_ERROR_NOT_INITIALIZED);
SAME(E::InvalidParameter, HALVO_ERROR_INVALID_PARAMETER); SAME(E::OperationFailed, HALVO_ERROR_OPERATION_FAILED);
SAME(E::InvalidSpeakerInfo, HALVO_ERROR_INVALID_SPEAKER_INFO); SAME(E::Cancelled, HALVO_ERROR_CANCELLED);
SAME(E::AlreadyInitialized, HALVO_ERROR_ALREADY_INITIALIZED);
using K = halvo::FailureKind;
SAME(K::None, HALVO_FAILURE_NONE); SAME(K::InvalidArgument, HALVO_FAILURE_INVALID_ARGUMENT);
SAME(K::NoBus, HALVO_FAILURE_NO_BUS); SAME(K::NoService, HALVO_FAILURE_NO_SERVICE);
SAME(K::Timeout, HALVO_FAILURE_TIMEOUT); SAME(K::ErrorReply, HALVO_FAILURE_ERROR_REPLY);
SAME(K::BadReply, HALVO_FAILURE_BAD_REPLY); SAME(K::ServiceAnswered, HALVO_FAILURE_SERVICE_ANSWERED);
SAME(K::Store, HALVO_FAILURE_STORE); SAME(K::Cancelled, HALVO_FAILURE_CANCELLED);
using V = halvo::detail::Event;
SAME(V::SpeakerInfo, HALVO_EVENT_SPEAKER_INFO_CHANGED); SAME(V::LastSpeakers, HALVO_EVENT_LAST_SPEAKERS_CHANGED);
SAME(V::ConnectingStatus, HALVO_EVENT_CONNECTING_STATUS_CHANGED); SAME(V::Volume, HALVO_EVENT_VOLUME_CHANGED);
SAME(V::VolumeControllable, HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED); SAME(V::Mute, HALVO_EVENT_MUTE_CHANGED);
SAME(V::ConnectedSpeakers, HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED); SAME(V::Earphones, HALVO_EVENT_EARPHONES_CHANGED);
SAME(V::Service, HALVO_EVENT_SERVICE_CHANGED);
