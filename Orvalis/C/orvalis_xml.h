/* Orvalis C interface: the XML converter and the request signer, also reached
 * through <Orvalis/C/orvalis.h>, whose rules (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_XML_H
#define ORVALIS_C_ORVALIS_XML_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --------------------------------------------------------- XML converter */

/** How attributes are stored (orvalis_xml_options.attributes_mode). */
typedef enum orvalis_xml_attributes {
    ORVALIS_XML_ATTRIBUTES_PREFIXED = 0,   /**< each under "_" + name (default) */
    ORVALIS_XML_ATTRIBUTES_GROUPED = 1,    /**< the whole map under "__attributes" */
    ORVALIS_XML_ATTRIBUTES_UNPREFIXED = 2, /**< each under its bare name */
    ORVALIS_XML_ATTRIBUTES_DISCARD = 3     /**< dropped */
} orvalis_xml_attributes;

/** Which nodes carry "__name" (orvalis_xml_options.node_name_mode). */
typedef enum orvalis_xml_node_names {
    ORVALIS_XML_NODE_NAMES_ROOT_ONLY = 0, /**< the root only (default) */
    ORVALIS_XML_NODE_NAMES_ALWAYS = 1,    /**< every node */
    ORVALIS_XML_NODE_NAMES_NEVER = 2      /**< none */
} orvalis_xml_node_names;

/** The converter's eight options; start from orvalis_xml_options_init. Flags are
 *  nonzero for on. */
typedef struct orvalis_xml_options {
    size_t struct_size;      /**< sizeof(orvalis_xml_options) */
    int collapse_text_nodes; /**< a text-only element becomes its text (default on) */
    int strip_empty_nodes;   /**< empty elements are removed (default on) */
    int trim_white_space;    /**< text loses surrounding white space (default on) */
    int always_use_arrays;   /**< every child is an array (default off) */
    int preserve_comments;   /**< comments kept under "__comments" (default off) */
    int wrap_root_node;      /**< the result is {root name: root node} (default off) */
    int attributes_mode;     /**< an orvalis_xml_attributes value; others discard */
    int node_name_mode;      /**< an orvalis_xml_node_names value; others name none */
} orvalis_xml_options;

/** Fills options with the defaults and struct_size. NULL does nothing. */
ORVALIS_C_EXPORT void orvalis_xml_options_init(orvalis_xml_options* options);

/** Converts length bytes of XML (UTF-8 or as declared) into the compact JSON text of
 *  its tree (free it with orvalis_free); options NULL: the defaults. MALFORMED_INPUT
 *  when the document is not well-formed (reason, line and column in orvalis_last_error);
 *  INVALID_ARGUMENT for NULL (xml may be NULL when length is 0) or a struct_size that cuts a field. */
ORVALIS_C_EXPORT orvalis_status orvalis_xml_to_json(const char* xml, size_t length,
                                                   const orvalis_xml_options* options, char** json_out);

/** Writes a JSON object (a tree of the shape orvalis_xml_to_json gives) as compact XML 1.0
 *  text, one element (free it with orvalis_free). MALFORMED_INPUT, naming the first key or
 *  value in the way in orvalis_last_error, when json is not one object or the tree cannot
 *  be written as well-formed XML: a key or "__name" that is not an XML Name, a character
 *  XML cannot carry (U+0000, other controls but tab/LF/CR, U+FFFE, U+FFFF), a comment
 *  holding "--" or ending in "-", a tree that is not one element. Strings holding a lone
 *  surrogate escape ("\udc00") are not JSON text here. INVALID_ARGUMENT for NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_json_to_xml(const char* json, size_t length, char** xml_out);

/** As orvalis_xml_to_json, and *json_length_out (when not NULL) gets the text's length
 *  in bytes (0 on failure). Any thread. */
ORVALIS_C_EXPORT orvalis_status orvalis_xml_to_json_sized(const char* xml, size_t length,
                                                         const orvalis_xml_options* options, char** json_out,
                                                         size_t* json_length_out);

/** As orvalis_json_to_xml, and *xml_length_out (when not NULL) gets the text's length in
 *  bytes (0 on failure). Any thread. */
ORVALIS_C_EXPORT orvalis_status orvalis_json_to_xml_sized(const char* json, size_t length, char** xml_out,
                                                         size_t* xml_length_out);

/* ---------------------------------------------------------------- signer */

/** One request to sign for debugging, as the operations sign theirs. */
typedef struct orvalis_sign_request {
    size_t struct_size;                    /**< sizeof(orvalis_sign_request) */
    const char* method;                    /**< "GET" or "POST"; NULL: POST with a body, else GET */
    const char* url;                       /**< "https://host[:port]/path?name=value&..." (http:// too) */
    const char* body;                      /**< POST body bytes; NULL: none */
    size_t body_length;                    /**< bytes of body */
    const char* consumer_key;              /**< the OAuth consumer key */
    const orvalis_key_source* key_source;  /**< the merchant key */
    const char* password;                  /**< the key's password */
    int sha256;                            /**< nonzero: RSA-SHA256; 0: RSA-SHA1 like the operations */
    const char* nonce;                     /**< "oauth_nonce" to reuse; NULL: a fresh one */
    const char* timestamp;                 /**< "oauth_timestamp" to reuse (digits); NULL: the clock */
} orvalis_sign_request;

/** Signs request: the signature base string and the Authorization header value
 *  ("OAuth ...") to free with orvalis_free (either out pointer may be NULL).
 *  MALFORMED_INPUT for a bad URL, method or timestamp; KEY when no signature can be made. */
ORVALIS_C_EXPORT orvalis_status orvalis_sign(const orvalis_sign_request* request, char** base_string_out,
                                            char** authorization_out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVALIS_C_ORVALIS_XML_H */
