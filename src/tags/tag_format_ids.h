/*
 * The tag format dialog's resource: its number, caption and control ids. Read by the resource
 * compiler (tag_format_dialog.rc) and by the dialog's code, so plain C preprocessor only.
 */
#ifndef KIV_TAG_FORMAT_IDS_H
#define KIV_TAG_FORMAT_IDS_H

#define KIV_TAG_FORMAT_DIALOG 102
#define KIV_TAG_FORMAT_CAPTION "Tag Format"

#define KIV_TFD_OK 1
#define KIV_TFD_CANCEL 2
#define KIV_TFD_FUNCTION_LIST 1000
#define KIV_TFD_STORAGE_LIST 1016
#define KIV_TFD_FUNCTIONS_RADIO 1018
#define KIV_TFD_STORAGES_RADIO 1020
#define KIV_TFD_ARGUMENT_FIELD 1021
#define KIV_TFD_ARGUMENT_LABEL 1022

#endif
