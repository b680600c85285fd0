/* A plain DDS program that receives the frames `vorlan publish` sends, as
 * any host of the DDS domain could, without the SDK: only CycloneDDS and the
 * ROS 2 message types generated from the IDL the SDK ships.
 *   dds_points TOPIC [FRAMES]
 * TOPIC as `vorlan publish` prints it (/vorlan/ip192_168_1_201_sn900001/points);
 * it stops after FRAMES frames (default 10). The domain is ROS_DOMAIN_ID's,
 * or 0. Without CYCLONEDDS_URI it keeps to this host, as the publisher does
 * by default: unicast discovery on 127.0.0.1, no multicast. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "PointCloud2.h"
#include "dds/dds.h"

static const char* kThisHostOnly =
    "<CycloneDDS><Domain id=\"any\">"
    "<General><Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General>"
    "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>40</MaxAutoParticipantIndex>"
    "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery>"
    "</Domain></CycloneDDS>";

/* The value of the float32 field `name` in the point at `point`, or 0 when the
 * cloud has no such field. */
static float field_value(const sensor_msgs_msg_dds__PointCloud2_* cloud, const uint8_t* point, const char* name) {
    uint32_t i;
    for (i = 0; i < cloud->fields._length; ++i) {
        const sensor_msgs_msg_dds__PointField_* field = &cloud->fields._buffer[i];
        if (strcmp(field->name, name) == 0 && field->datatype == 7 /* float32 */) {
            float value;
            memcpy(&value, point + field->offset, sizeof value); /* little-endian, as this host */
            return value;
        }
    }
    return 0.0f;
}

int main(int argc, char** argv) {
    const char* domain_text = getenv("ROS_DOMAIN_ID");
    const dds_domainid_t domain = domain_text != NULL ? (dds_domainid_t)atoi(domain_text) : 0;
    long wanted = argc > 2 ? atol(argv[2]) : 10;
    char dds_topic[256];
    dds_entity_t participant, topic, reader, waitset;
    dds_qos_t* qos;
    long frames = 0;

    if (argc < 2 || argv[1][0] != '/' || strlen(argv[1]) > 200) {
        fprintf(stderr, "usage: dds_points TOPIC [FRAMES]   (TOPIC as `vorlan publish` prints it)\n");
        return 2;
    }
    if (getenv("CYCLONEDDS_URI") == NULL || getenv("CYCLONEDDS_URI")[0] == '\0') {
        dds_create_domain(domain, kThisHostOnly);
    }
    participant = dds_create_participant(domain, NULL, NULL);
    if (participant < 0) {
        fprintf(stderr, "cannot join DDS domain %u: %s\n", (unsigned)domain, dds_strretcode(participant));
        return 1;
    }
    /* ROS 2 carries the topic /a/b as the DDS topic rt/a/b. */
    snprintf(dds_topic, sizeof dds_topic, "rt%s", argv[1]);
    topic = dds_create_topic(participant, &sensor_msgs_msg_dds__PointCloud2__desc, dds_topic, NULL, NULL);
    /* Best effort matches the publisher whichever delivery it uses. */
    qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    reader = dds_create_reader(participant, topic, qos, NULL);
    dds_delete_qos(qos);
    if (topic < 0 || reader < 0) {
        fprintf(stderr, "cannot subscribe to %s\n", argv[1]);
        dds_delete(participant);
        return 1;
    }
    waitset = dds_create_waitset(participant);
    dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS);
    dds_waitset_attach(waitset, reader, reader);
    printf("waiting for frames on %s in DDS domain %u\n", argv[1], (unsigned)domain);
    fflush(stdout);

    while (frames < wanted) {
        void* samples[1] = {NULL};
        dds_sample_info_t info;
        if (dds_waitset_wait(waitset, NULL, 0, DDS_SECS(30)) <= 0) {
            fprintf(stderr, "no frame for 30 s\n");
            break;
        }
        while (frames < wanted && dds_take(reader, samples, &info, 1, 1) > 0) {
            const sensor_msgs_msg_dds__PointCloud2_* cloud = samples[0];
            if (info.valid_data) {
                printf("frame at %d.%09u s from %s: %u points of %u bytes", (int)cloud->header.stamp.sec,
                       (unsigned)cloud->header.stamp.nanosec, cloud->header.frame_id, (unsigned)cloud->width,
                       (unsigned)cloud->point_step);
                if (cloud->width > 0 && cloud->point_step > 0) {
                    const uint8_t* first = cloud->data._buffer;
                    printf(", first at %.3f %.3f %.3f m", field_value(cloud, first, "x"),
                           field_value(cloud, first, "y"), field_value(cloud, first, "z"));
                }
                printf("\n");
                ++frames;
            }
            dds_return_loan(reader, samples, 1);
            samples[0] = NULL;
        }
    }
    dds_delete(participant);
    return frames == wanted ? 0 : 1;
}
